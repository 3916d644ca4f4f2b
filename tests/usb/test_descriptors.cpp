// The module's parsers of Microsoft OS descriptors, port paths and the
// VID:PID list, against descriptors written by the bench: whole ones are
// read, and every truncation or corrupted length is refused without reading
// past the bytes given (ASan checks the latter).
#include <gtest/gtest.h>

#include <cstring>

#include "descriptors.h"
#include "usb_bench.h"

namespace usbtest {
namespace {

using namespace telvo_usb;

const std::string kGuidText = formatGuid(kControllerGuid);

// Parses a copy of exactly n bytes, so that reading beyond is caught.
template <typename Parse>
bool onCopy(const Bytes& b, size_t n, Parse parse) {
    std::vector<uint8_t> copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
    return parse(copy.data(), n);
}

TEST(Descriptors, GuidTextIsWindowsForm) {
    EXPECT_EQ("{8F974853-102C-47CA-B6EC-613E800EAFAA}", kGuidText);
}

TEST(Descriptors, MsOs20CapabilityAndSet) {
    const Bytes set = msOs20Set(kControllerGuid);
    const Bytes bos = bosWithMsOs20(static_cast<uint16_t>(set.size()));
    MsOs20Info info;
    ASSERT_TRUE(findMsOs20(bos.data(), bos.size(), &info));
    EXPECT_EQ(0x20, info.vendorCode);
    EXPECT_EQ(set.size(), info.setLength);
    EXPECT_TRUE(msOs20DeclaresGuid(set.data(), set.size(), kGuidText, 0));
    EXPECT_FALSE(msOs20DeclaresGuid(set.data(), set.size(), kGuidText, 1));  // another function's
    EXPECT_FALSE(msOs20DeclaresGuid(set.data(), set.size(), formatGuid(kOtherGuid), 0));
    for (size_t n = 0; n < bos.size(); ++n)
        EXPECT_FALSE(onCopy(bos, n, [&](const uint8_t* p, size_t len) { return findMsOs20(p, len, &info); })) << n;
    for (size_t n = 0; n < set.size(); ++n)
        EXPECT_FALSE(onCopy(set, n, [&](const uint8_t* p, size_t len) {
            return msOs20DeclaresGuid(p, len, kGuidText, 0);
        })) << n;
    // Every single-byte corruption of the set is either still read right or
    // refused; none reads out of bounds.
    for (size_t at = 0; at < set.size(); ++at) {
        for (uint8_t v : {uint8_t{0}, uint8_t{0xFF}, uint8_t{3}}) {
            Bytes bad = set;
            bad[at] = v;
            (void)onCopy(bad, bad.size(), [&](const uint8_t* p, size_t len) {
                return msOs20DeclaresGuid(p, len, kGuidText, 0);
            });
        }
    }
}

TEST(Descriptors, MsOs10StringAndProperties) {
    const Bytes string = msOs10String();
    uint8_t code = 0;
    ASSERT_TRUE(parseMsOs10String(string.data(), string.size(), &code));
    EXPECT_EQ(0x21, code);
    Bytes notMsft = string;
    notMsft[4] = 'X';
    EXPECT_FALSE(parseMsOs10String(notMsft.data(), notMsft.size(), &code));

    const Bytes props = msOs10Properties(kControllerGuid);
    EXPECT_EQ(props.size(), msOs10PropertiesLength(props.data(), 10));
    EXPECT_TRUE(msOs10DeclaresGuid(props.data(), props.size(), kGuidText));
    EXPECT_FALSE(msOs10DeclaresGuid(props.data(), props.size(), formatGuid(kOtherGuid)));
    for (size_t n = 0; n < props.size(); ++n)
        EXPECT_FALSE(onCopy(props, n, [&](const uint8_t* p, size_t len) {
            return msOs10DeclaresGuid(p, len, kGuidText);
        })) << n;
    for (size_t at = 0; at < props.size(); ++at) {
        Bytes bad = props;
        bad[at] = 0xFF;
        (void)onCopy(bad, bad.size(), [&](const uint8_t* p, size_t len) {
            return msOs10DeclaresGuid(p, len, kGuidText);
        });
    }
}

TEST(Descriptors, PortPaths) {
    PortPath p;
    ASSERT_TRUE(parsePath("usb:3-1.4.2", &p));
    EXPECT_EQ(3, p.bus);
    ASSERT_EQ(3, p.depth);
    EXPECT_EQ(4, p.ports[1]);
    EXPECT_EQ("usb:3-1.4.2", formatPath(p));
    for (const char* bad : {"usb:3-", "usb:-1", "usb:3-0", "usb:3-1..2", "usb:256-1", "usb:3-1.2.3.4.5.6.7.8",
                            "USB:3-1", "usb:3-1 ", "usb:3", ""})
        EXPECT_FALSE(parsePath(bad, &p)) << bad;
    EXPECT_FALSE(parsePath(nullptr, &p));
    PortPath a, b, c;
    ASSERT_TRUE(parsePath("usb:1-2", &a));
    ASSERT_TRUE(parsePath("usb:1-2.1", &b));
    ASSERT_TRUE(parsePath("usb:2-1", &c));
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b < c);
    EXPECT_FALSE(b < a);
}

TEST(Descriptors, IdList) {
    std::string bad;
    const auto ids = parseIdList("16c0:05DC,junk, 1209:7e10 ,12:34:56,", &bad);
    ASSERT_EQ(2u, ids.size());
    EXPECT_EQ(0x16C0, ids[0].vendor);
    EXPECT_EQ(0x05DC, ids[0].product);
    EXPECT_EQ(0x1209, ids[1].vendor);
    EXPECT_EQ(0x7E10, ids[1].product);
    EXPECT_EQ("junk, 12:34:56", bad);
    EXPECT_TRUE(parseIdList(nullptr, nullptr).empty());
}

}  // namespace
}  // namespace usbtest
