// Probing: contact, the trigger position in the event-7 frame, halt, purge,
// deceleration, and the move that ends without contact.
#include "sim_harness.h"

using namespace sim_test;

namespace {

const std::vector<uint8_t> kArm(48, 0);

// n segments moving axis 0 by +1 step and axis 1 by -1 step each.
std::vector<Seg> diagonal(int n) {
    std::vector<Seg> segs = steps(0, n, 1);
    for (Seg& s : segs) s.travel[1] = -1'000'000;
    return segs;
}

int32_t counterOf(int axis) {
    int32_t c[7];
    tsim_position(c);
    return c[axis];
}

}  // namespace

TEST_F(BackendTest, ProbeContactCarriesTheTriggerPositionEvenWhenReadLate) {
    tsim_set_probe_surface(0, 10, 1);
    tsim_set_probe_decel(4);
    ASSERT_EQ(0, command(4, kArm));
    EXPECT_EQ(1, tsim_probe_armed());
    ASSERT_EQ(0, send(diagonal(30)));
    readNow();  // the frame due at start

    tsim_advance_ms(30);  // contact after the 10th segment; then held
    EXPECT_EQ(10, tsim_executed_count());
    EXPECT_EQ(20, tsim_buffer_level());
    EXPECT_EQ(0, tsim_probe_armed());
    tsim_frame now;
    tsim_current_frame(&now);
    EXPECT_EQ(3, now.state);

    ASSERT_EQ(0, command(12, {0, 0, 0, 0}));
    tsim_advance_ms(10);  // 4 ms of deceleration at 2 steps/ms along the motion
    EXPECT_EQ(18, counterOf(0));
    EXPECT_EQ(-18, counterOf(1));

    tsim_frame f = readNow();  // read long after: still the position at contact
    EXPECT_EQ(7, f.event);
    EXPECT_EQ(10, f.position[0]);
    EXPECT_EQ(-10, f.position[1]);
    EXPECT_EQ(0, f.state);
    f = readNext();
    EXPECT_EQ(0, f.event);
    EXPECT_EQ(18, f.position[0]);
    ASSERT_EQ(0, command(13, {}));
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());
}

TEST_F(BackendTest, ProbeContactStatesRunThreeThenOneThenZeroAfterPurge) {
    tsim_set_probe_surface(0, 10, 1);
    tsim_set_probe_decel(4);
    ASSERT_EQ(0, command(4, kArm));
    ASSERT_EQ(0, send(diagonal(30)));
    readNow();

    std::vector<int> states;
    int events7 = 0;
    for (int ms = 1; ms <= 30; ++ms) {
        tsim_frame f = readNext();
        states.push_back(f.state);
        if (f.event == 7) {
            ++events7;
            EXPECT_EQ(10, ms);
            EXPECT_EQ(10, f.position[0]);
            EXPECT_EQ(-10, f.position[1]);
            EXPECT_EQ(20, f.bufferLevel);
            EXPECT_EQ(9, f.segmentIndex);
        }
        if (ms == 15) {
            ASSERT_EQ(0, command(12, {0, 0, 0, 0}));  // the host purges
        }
    }
    EXPECT_EQ(1, events7);
    // 1 while running, 3 from the contact to the purge, 1 for the 4 ms of
    // deceleration (the last of them reports rest), then 0.
    std::vector<int> expected;
    expected.insert(expected.end(), 9, 1);
    expected.insert(expected.end(), 6, 3);
    expected.insert(expected.end(), 3, 1);
    expected.insert(expected.end(), 12, 0);
    EXPECT_EQ(expected, states);
    EXPECT_EQ(18, counterOf(0));
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());
}

TEST_F(BackendTest, ProbeMissLastSegmentContactPurgeAndStop) {
    // No contact: the buffer runs empty, event 6 in a state-0 frame, disarmed.
    tsim_set_probe_surface(1, -100, -1);
    ASSERT_EQ(0, command(4, kArm));
    ASSERT_EQ(0, send(diagonal(10)));
    readNow();
    tsim_advance_ms(9);
    EXPECT_EQ(0, tsim_pending_events());
    tsim_advance_ms(1);
    EXPECT_EQ(0, tsim_probe_armed());
    tsim_frame f = readNow();
    EXPECT_EQ(6, f.event);
    EXPECT_EQ(0, f.state);

    // A purge is not the end of the move: still armed, no event until the
    // next segments run out.
    ASSERT_EQ(0, command(4, kArm));
    ASSERT_EQ(0, send(diagonal(10)));
    tsim_advance_ms(3);
    ASSERT_EQ(0, command(12, {0, 0, 0, 0}));
    tsim_advance_ms(5);
    EXPECT_EQ(0, tsim_pending_events());
    EXPECT_EQ(1, tsim_probe_armed());
    ASSERT_EQ(0, send(diagonal(2)));
    tsim_advance_ms(2);
    EXPECT_EQ(1, tsim_pending_events());
    EXPECT_EQ(6, readNext().event);

    // Contact on the last held segment (negative direction): no halt, the
    // machine decelerates at once (default 5 ms), moving on downwards.
    const int32_t at = counterOf(1);
    tsim_set_probe_surface(1, at - 3, -1);
    ASSERT_EQ(0, command(4, kArm));
    ASSERT_EQ(0, send(diagonal(3)));
    tsim_advance_ms(3);
    f = readNext();
    EXPECT_EQ(7, f.event);
    EXPECT_EQ(at - 3, f.position[1]);
    EXPECT_EQ(1, f.state);
    tsim_advance_ms(5);
    EXPECT_EQ(at - 3 - 10, counterOf(1));
    EXPECT_EQ(0, readNext().state);

    // Stop and code 13 disarm.
    ASSERT_EQ(0, command(4, kArm));
    ASSERT_EQ(0, command(14, {0}));
    EXPECT_EQ(0, tsim_probe_armed());
    ASSERT_EQ(0, command(4, kArm));
    ASSERT_EQ(0, command(13, {}));
    EXPECT_EQ(0, tsim_probe_armed());
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());
}
