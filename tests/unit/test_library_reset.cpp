// The library-state reset that tests and fuzzers run between sessions: after
// every subsystem was moved away from its load-time state, one call brings
// each back, byte for byte where the state is plain data.
#include <gtest/gtest.h>

#include <cstring>

#include "api/library.h"
#include "config/config.h"
#include "config/config_state.h"
#include "frame/frame.h"
#include "motion/motion.h"
#include "motion/queue_state.h"
#include "probe/probe.h"
#include "probe/probe_state.h"
#include "status/status.h"
#include "telvo/telvo.h"

namespace {

bool allZero(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

TEST(LibraryReset, ReturnsEverySubsystemToItsLoadState) {
    // Configuration with a slaved axis; no device, so blocks and limits are
    // only stored.
    MachineConfig config;
    std::memset(&config, 0, sizeof config);
    for (auto& a : config.axes) a = {1000, 50000, 100000, 0, 0, 0, 0, 0, 0};
    config.axes[4].slaveOf = 1;
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    io.pins[0].pin = 9;
    ASSERT_EQ(1, telvo_Init(&config, &io));
    ASSERT_EQ(0, telvo::config::masterOf(4));

    telvo_SetBuffSize(300);
    MotionSegment segment;
    std::memset(&segment, 0, sizeof segment);
    segment.tag = 42;
    for (int i = 0; i < 10; ++i) ASSERT_EQ(1, telvo_BufAdd(&segment));
    telvo::frame::setBufferLevel(77);
    telvo_PosResync();  // tracked positions 0.5

    (void)telvo_CmdHomeAxis(0);  // counted before the (failing) write
    ASSERT_EQ(1, telvo_IsHoming());
    const double start[6] = {};
    const double end[6] = {10000, 0, 0, 0, 0, 0};
    (void)telvo_CmdProbe(start, end, 20.0);
    ASSERT_EQ(1, telvo_IsProbing());
    telvo::probe::probeState.triggerPos[2] = 5.0;
    telvo::probe::probeState.stopCountdown = 2;

    telvo::resetLibraryState();

    EXPECT_STREQ("00.00", telvo_GetFirmwareVersion());
    EXPECT_TRUE(allZero(telvo::frame::current(), telvo::frame::kFrameSize));
    EXPECT_TRUE(allZero(telvo::config::axisConfigBlock, sizeof telvo::config::axisConfigBlock));
    EXPECT_TRUE(allZero(telvo::config::ioConfigBlock, sizeof telvo::config::ioConfigBlock));
    EXPECT_TRUE(allZero(&telvo::config::axisLimits, sizeof telvo::config::axisLimits));
    EXPECT_EQ(-1, telvo::config::masterOf(4));
    EXPECT_EQ(0, telvo::status::homingCount());
    EXPECT_EQ(0, telvo_IsHoming());
    EXPECT_TRUE(allZero(&telvo::probe::probeState, sizeof telvo::probe::probeState));
    EXPECT_TRUE(allZero(&telvo::probe::probePlan, sizeof telvo::probe::probePlan));
    EXPECT_EQ(0, telvo_IsProbing());
    EXPECT_EQ(0, telvo_GetProbeResult());
    EXPECT_EQ(1000, telvo::motion::bufferSize());
    EXPECT_EQ(1, telvo_BufEmpty());
    EXPECT_EQ(3999, telvo_BufFreeCnt());
    EXPECT_EQ(0, telvo::motion::queue.readIndex);
    EXPECT_EQ(0, telvo::motion::queue.writeIndex);
    EXPECT_TRUE(allZero(telvo::motion::queue.slots, sizeof telvo::motion::queue.slots));
    EXPECT_TRUE(allZero(telvo::motion::trackedPosition, sizeof telvo::motion::trackedPosition));
}

// The reset points clear probing but leave what a later query may still
// read: the trigger position and the plan.
TEST(LibraryReset, ResetPointsKeepTriggerPositionAndPlan) {
    telvo::resetLibraryState();
    MachineConfig config;
    std::memset(&config, 0, sizeof config);
    for (auto& a : config.axes) a = {1000, 50000, 100000, 0, 0, 0, 0, 0, 0};
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    ASSERT_EQ(1, telvo_Init(&config, &io));
    const double start[6] = {};
    const double end[6] = {10000, 0, 0, 0, 0, 0};
    (void)telvo_CmdProbe(start, end, 20.0);
    telvo::probe::probeState.triggerPos[0] = 123.0;
    telvo::probe::probeState.stopPending = 1;
    telvo::probe::probeState.stopCountdown = 2;
    const telvo::probe::ProbePlan plan = telvo::probe::probePlan;

    (void)telvo_CmdStop(0);  // one of the four reset points; no device open

    const auto& state = telvo::probe::probeState;
    EXPECT_EQ(0, state.active);
    EXPECT_EQ(0, state.planReady);
    EXPECT_EQ(0, state.result);
    EXPECT_EQ(0, state.stopPending);
    EXPECT_EQ(0, state.stopCountdown);
    EXPECT_EQ(123.0, state.triggerPos[0]);
    EXPECT_EQ(0, std::memcmp(&plan, &telvo::probe::probePlan, sizeof plan));
}

}  // namespace
