// The segment queue at its boundaries.
#include <gtest/gtest.h>

#include <cstring>

#include "telvo/telvo.h"

namespace {

MotionSegment segmentWithTag(int32_t tag) {
    MotionSegment s;
    std::memset(&s, 0, sizeof s);
    s.tag = tag;
    for (int a = 0; a < 6; ++a) s.target[a] = tag * 0.25;
    s.segmentCode = 0x3A;
    s.segmentAux = static_cast<uint8_t>(tag);
    return s;
}

TEST(SegmentQueue, CapacityAndFreeCount) {
    telvo_BufClear();
    EXPECT_EQ(1, telvo_BufEmpty());
    EXPECT_EQ(3999, telvo_BufFreeCnt());
    for (int i = 0; i < 3999; ++i) {
        const MotionSegment s = segmentWithTag(i);
        ASSERT_EQ(1, telvo_BufAdd(&s));
    }
    EXPECT_EQ(0, telvo_BufFreeCnt());
    const MotionSegment s = segmentWithTag(3999);
    EXPECT_EQ(1, telvo_BufAdd(&s));  // the 4000th still fits
    EXPECT_EQ(-1, telvo_BufFreeCnt());
    EXPECT_EQ(0, telvo_BufAdd(&s));  // the 4001st does not
    EXPECT_EQ(-1, telvo_BufFreeCnt());
    EXPECT_EQ(0, telvo_BufEmpty());
    EXPECT_EQ(0, telvo_BufAdd(nullptr));
    EXPECT_EQ(1, telvo_BufClear());
    EXPECT_EQ(1, telvo_BufEmpty());
    EXPECT_EQ(3999, telvo_BufFreeCnt());
}

TEST(SegmentQueue, BufferSizeIsClamped) {
    EXPECT_EQ(300, telvo_SetBuffSize(0));
    EXPECT_EQ(300, telvo_SetBuffSize(-5));
    EXPECT_EQ(300, telvo_SetBuffSize(299));
    EXPECT_EQ(1000, telvo_SetBuffSize(1001));
    EXPECT_EQ(1000, telvo_SetBuffSize(2147483647));
    EXPECT_EQ(300, telvo_SetBuffSize(-2147483647 - 1));
    EXPECT_EQ(512, telvo_SetBuffSize(512));
    EXPECT_EQ(1000, telvo_SetBuffSize(1000));
}

}  // namespace
