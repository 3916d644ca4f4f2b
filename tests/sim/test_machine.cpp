// The machine: segment execution, status frames and their timing, events,
// homing, jogging, stop and purge.
#include "sim_harness.h"

using namespace sim_test;

namespace {

std::vector<uint8_t> jogOn(uint8_t axis, uint8_t direction, int32_t velocityForm) {
    std::vector<uint8_t> p = {axis, direction, 0, 0, 0, 0};
    putI32(p, 2, velocityForm);
    return p;
}

int64_t exactOf(int axis) {
    int64_t exact[6];
    tsim_exact_position(exact);
    return exact[axis];
}

int32_t counterOf(int axis) {
    int32_t c[7];
    tsim_position(c);
    return c[axis];
}

}  // namespace

TEST_F(BackendTest, SegmentsTurnPhaseAndTravelIntoExactCounters) {
    const int32_t start[7] = {100, -1, 0, 0, 0, 7, 33};
    tsim_set_position(start);
    // Per segment: axis 0 goes 100.5 -> 101.75 -> 101.75; axis 1 runs
    // -1.5 -> +2144.499999 -> -1.500001 -> -2147.500001 with travels near
    // +-2146 steps; axis 2 creeps across zero by single millionths.
    std::vector<Seg> segs(4);
    segs[0].travel[0] = 1'250'000;
    segs[0].travel[1] = -1'000'000;
    segs[0].travel[2] = -1;
    segs[1].phase[0] = 187'500'000;
    segs[1].travel[1] = 2'145'999'999;
    segs[1].phase[2] = 124'999'750;
    segs[1].travel[2] = -499'999;
    segs[2].phase[0] = 187'500'000;
    segs[2].phase[1] = 124'999'750;
    segs[2].travel[1] = -2'146'000'000;
    segs[2].phase[2] = 0;
    segs[2].travel[2] = -1;
    segs[3].phase[0] = 187'500'000;
    segs[3].phase[1] = 124'999'750;
    segs[3].travel[1] = -2'146'000'000;
    segs[3].phase[2] = 249'999'750;
    segs[3].travel[2] = 1;
    const uint16_t slots[4] = {4999, 0, 1, 2};
    for (int i = 0; i < 4; ++i) {
        segs[static_cast<size_t>(i)].slot = slots[i];
        segs[static_cast<size_t>(i)].code = static_cast<uint8_t>(0xA3 + i);
        segs[static_cast<size_t>(i)].aux = static_cast<uint8_t>(0x3A + i);
    }
    ASSERT_EQ(0, send(segs));

    tsim_frame f = readNow();  // nothing has run yet
    EXPECT_EQ(1, f.state);
    EXPECT_EQ(4, f.bufferLevel);
    EXPECT_EQ(0xFFFF, f.segmentIndex);
    EXPECT_EQ(100, f.position[0]);

    const int32_t expected[4][3] = {{101, -2, 0}, {101, 2144, 0}, {101, -2, -1}, {101, -2148, 0}};
    for (int i = 0; i < 4; ++i) {
        f = readNext();  // one more millisecond: one more segment
        EXPECT_EQ(slots[i], f.segmentIndex);
        EXPECT_EQ(3 - i, f.bufferLevel);
        tsim_executed e;
        ASSERT_EQ(1, tsim_executed_get(i, &e));
        EXPECT_EQ(slots[i], e.slotIndex);
        EXPECT_EQ(0xA3 + i, e.segmentCode);
        EXPECT_EQ(0x3A + i, e.segmentAux);
        for (int a = 0; a < 3; ++a) {
            EXPECT_EQ(expected[i][a], e.position[a]) << "segment " << i << " axis " << a;
            EXPECT_EQ(expected[i][a], f.position[a]) << "segment " << i << " axis " << a;
        }
        EXPECT_EQ(7, f.position[5]);
        EXPECT_EQ(33, f.position[6]);
    }
    EXPECT_EQ(0, f.state);
    int64_t exact[6];
    tsim_exact_position(exact);
    EXPECT_EQ(101'750'000, exact[0]);
    EXPECT_EQ(-2'147'500'001, exact[1]);
    EXPECT_EQ(0, exact[2]);
    EXPECT_EQ(7'500'000, exact[5]);
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());
    EXPECT_EQ(0, tsim_executed_get(4, nullptr));

    // Running out of segments keeps the exact position: a stream that goes
    // on from where it ended is continuous.
    std::vector<Seg> more(1);
    more[0].phase[0] = 187'500'000;
    more[0].phase[1] = 124'999'750;
    more[0].phase[2] = 0;
    more[0].travel[0] = 250'000;
    ASSERT_EQ(0, send(more));
    tsim_advance_ms(1);
    EXPECT_EQ(102, counterOf(0));
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());
}

TEST_F(BackendTest, PhaseErrorsAreRecordedAndTheReceivedPhaseAdopted) {
    // A host that never realigned its stream starts at phase 0, while the
    // machine rests mid-step: one discontinuity, then the stream is followed.
    std::vector<Seg> segs(2);
    segs[0].phase[0] = 0;
    segs[0].travel[0] = 1'000'000;
    segs[1].phase[0] = 0;
    segs[1].travel[0] = 1'000'000;
    ASSERT_EQ(0, send(segs));
    tsim_advance_ms(2);
    ASSERT_EQ(1, tsim_protocol_error_count());
    EXPECT_NE(std::string::npos, std::string(tsim_protocol_error_text(0)).find("discontinuity"));
    EXPECT_EQ(2'000'000, exactOf(0));
    EXPECT_EQ(2, counterOf(0));

    // Malformed phases: not a multiple of 250, beyond the last, negative.
    // Each is one error; the machine keeps its own phase and adds the travel.
    std::vector<Seg> bad(3);
    for (Seg& s : bad) s.phase[0] = 0;
    bad[0].phase[3] = 125'000'100;
    bad[1].phase[3] = 250'000'000;
    bad[2].phase[3] = -250;
    bad[2].travel[3] = 3'000'000;
    ASSERT_EQ(0, send(bad));
    tsim_advance_ms(3);
    EXPECT_EQ(4, tsim_protocol_error_count()) << joined(protocolErrors());
    EXPECT_EQ(3'500'000, exactOf(3));

    // A break in the middle of a stream: the segment after a wrong phase is
    // measured from the adopted one.
    std::vector<Seg> jump(2);
    jump[0].phase[0] = 50'000'000;  // machine is at 0: adopts 200,000
    jump[0].travel[0] = 100'000;
    jump[1].phase[0] = 75'000'000;  // 300,000: continuous after the adoption
    ASSERT_EQ(0, send(jump));
    tsim_advance_ms(2);
    EXPECT_EQ(5, tsim_protocol_error_count()) << joined(protocolErrors());
    EXPECT_EQ(2'300'000, exactOf(0));
}

TEST_F(BackendTest, MachineFramesCompleteReadsOncePerPeriod) {
    tsim_set_spindle_period(3'000'000);
    // A fresh interface has a frame ready: the read completes inside the call.
    Read r1;
    ASSERT_EQ(0, r1.start(iface));
    EXPECT_EQ(1, r1.completions.load());
    tsim_frame f = r1.frame();
    EXPECT_EQ(60, f.length);
    EXPECT_EQ(0, f.state);
    EXPECT_EQ(0, f.event);
    EXPECT_EQ(3'000'000u, f.spindlePeriod);
    EXPECT_EQ(0xFFFF, f.segmentIndex);
    EXPECT_EQ(0, tsim_read_pending());

    // The next read waits for the next frame.
    Read r2;
    ASSERT_EQ(0, r2.start(iface));
    EXPECT_EQ(1, tsim_read_pending());
    tsim_advance_ms(1);
    EXPECT_EQ(1, r2.completions.load());

    // Period 3: due at 4, 7, 10, ...
    tsim_set_frame_period(3);
    Read r3;
    ASSERT_EQ(0, r3.start(iface));
    tsim_advance_ms(2);
    EXPECT_EQ(0, r3.completions.load());
    tsim_advance_ms(1);
    EXPECT_EQ(1, r3.completions.load());
    EXPECT_EQ(4, tsim_clock_ms());

    // A frame that fell due without a reader is taken at once, and only one.
    tsim_advance_ms(3);
    Read r4, r5;
    ASSERT_EQ(0, r4.start(iface));
    EXPECT_EQ(1, r4.completions.load());
    ASSERT_EQ(0, r5.start(iface));
    EXPECT_EQ(0, r5.completions.load());
    tsim_advance_ms(2);
    EXPECT_EQ(0, r5.completions.load());
    tsim_advance_ms(1);
    EXPECT_EQ(1, r5.completions.load());

    // The frame shows the machine when the read completes, not when it fell due.
    tsim_advance_ms(3);
    ASSERT_EQ(0, send(steps(0, 5, 1)));
    f = readNow();
    EXPECT_EQ(5, f.bufferLevel);
    EXPECT_EQ(1, f.state);

    // Pushed frames go first, raw, even when no machine frame is due.
    uint8_t raw[60] = {61, 9};
    raw[8] = 42;
    tsim_push_frame(raw);
    Read r7;
    ASSERT_EQ(0, r7.start(iface));
    ASSERT_EQ(1, r7.completions.load());
    EXPECT_EQ(0, std::memcmp(raw, r7.buffer, 60));

    // One read in flight at a time.
    Read r8, r9;
    ASSERT_EQ(0, r8.start(iface));
    EXPECT_EQ(TELVO_BACKEND_ERROR_GEN_FAILURE, r9.start(iface));
    EXPECT_EQ(1, tsim_protocol_error_count());

    // Scripted: machine frames stop; a push completes the pending read at once.
    tsim_set_scripted(1);
    tsim_advance_ms(10);
    EXPECT_EQ(0, r8.completions.load());
    raw[0] = 60;
    tsim_push_frame(raw);
    EXPECT_EQ(1, r8.completions.load());
    EXPECT_EQ(42, r8.frame().position[0]);
    Read r10;
    ASSERT_EQ(0, r10.start(iface));
    tsim_advance_ms(5);
    EXPECT_EQ(0, r10.completions.load());
    tsim_set_scripted(0);  // a machine frame is due: it goes at once
    EXPECT_EQ(1, r10.completions.load());
    EXPECT_EQ(60, r10.frame().length);

    // Freeing the interface cancels the read in flight for good.
    Read r11;
    ASSERT_EQ(0, r11.start(iface));
    EXPECT_EQ(0, r11.completions.load());
    telvo_backend_free(iface);
    tsim_advance_ms(10);
    tsim_push_frame(raw);
    EXPECT_EQ(0, r11.completions.load());
    ASSERT_EQ(0, telvo_backend_initialize(file, &iface));
    EXPECT_EQ(0, r9.completions.load());
    EXPECT_EQ(1, tsim_protocol_error_count()) << joined(protocolErrors());
}

TEST_F(BackendTest, HomingEventsAreLatchedAndDeliveredOnePerFrame) {
    tsim_set_homing_time(10);
    const int32_t start[7] = {0, 500, 9, -20, 0, 0, 0};
    tsim_set_position(start);
    ASSERT_EQ(0, command(5, {1, 0}));
    ASSERT_EQ(0, command(5, {3, 0}));
    EXPECT_EQ(2, readNow().state);
    tsim_advance_ms(9);
    EXPECT_EQ(500, counterOf(1));
    EXPECT_EQ(0, tsim_pending_events());
    tsim_advance_ms(1);
    EXPECT_EQ(0, counterOf(1));
    EXPECT_EQ(0, counterOf(3));
    EXPECT_EQ(500'000, exactOf(3));
    EXPECT_EQ(2, tsim_pending_events());

    // The host reads slowly: both events still arrive, one per frame, in order.
    tsim_advance_ms(50);
    tsim_frame peek;
    tsim_current_frame(&peek);  // shows the first event without taking it
    EXPECT_EQ(5, peek.event);
    EXPECT_EQ(2, tsim_pending_events());
    tsim_frame f = readNow();
    EXPECT_EQ(5, f.event);
    EXPECT_EQ(1, f.eventAxis);
    EXPECT_EQ(0, f.state);
    f = readNext();
    EXPECT_EQ(5, f.event);
    EXPECT_EQ(3, f.eventAxis);
    f = readNext();
    EXPECT_EQ(0, f.event);
    EXPECT_EQ(0, f.eventAxis);

    // Stop cancels a homing: no event, the counter stays.
    ASSERT_EQ(0, command(5, {2, 0}));
    tsim_advance_ms(5);
    ASSERT_EQ(0, command(14, {0}));
    tsim_advance_ms(100);
    EXPECT_EQ(0, tsim_pending_events());
    EXPECT_EQ(9, counterOf(2));
    EXPECT_EQ(0, readNext().state);
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());
}

TEST_F(BackendTest, JogMovesAtTheCommandedSpeedUntilOff) {
    ASSERT_EQ(0, command(2, jogOn(0, 1, 1000 << 12)));  // 1000 steps/s
    ASSERT_EQ(0, command(2, jogOn(1, 0xFF, 3 << 12)));  // 3 steps/s backwards
    ASSERT_EQ(0, command(2, jogOn(2, 1, 1)));           // 1/4096 step/s
    ASSERT_EQ(0, command(2, jogOn(3, 0xFF, 1)));        // the same backwards
    ASSERT_EQ(0, command(2, jogOn(6, 1, 1000 << 12)));  // no motion axis: ignored
    EXPECT_EQ(2, readNow().state);
    tsim_advance_ms(1000);
    EXPECT_EQ(1000, counterOf(0));
    EXPECT_EQ(1'000'500'000, exactOf(0));
    EXPECT_EQ(-3, counterOf(1));
    EXPECT_EQ(-2'500'000, exactOf(1));
    EXPECT_EQ(0, counterOf(6));
    // 1000 ms at 1/4096 step/s is 244.14 millionths: whole millionths are
    // moved, rounded down, the rest carried.
    EXPECT_EQ(500'000 + 244, exactOf(2));
    EXPECT_EQ(500'000 - 245, exactOf(3));
    ASSERT_EQ(0, command(3, {0}));
    ASSERT_EQ(0, command(3, {1}));
    tsim_advance_ms(3096);
    EXPECT_EQ(1000, counterOf(0));
    EXPECT_EQ(-3, counterOf(1));
    EXPECT_EQ(500'000 + 1000, exactOf(2));  // 4096 ms at 1/4096 step/s, nothing lost
    EXPECT_EQ(500'000 - 1000, exactOf(3));
    EXPECT_EQ(2, readNext().state);
    ASSERT_EQ(0, command(3, {2}));
    ASSERT_EQ(0, command(3, {3}));
    EXPECT_EQ(500'000, exactOf(2));  // at rest mid-step
    EXPECT_EQ(500'000, exactOf(3));
    EXPECT_EQ(0, readNext().state);
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());
}

TEST_F(BackendTest, StopHaltsBufferedMotionUntilPurged) {
    ASSERT_EQ(0, send(steps(0, 20, 1)));
    ASSERT_EQ(0, command(2, jogOn(1, 1, 1000 << 12)));
    tsim_advance_ms(5);
    ASSERT_EQ(0, command(14, {1}));
    tsim_advance_ms(10);
    EXPECT_EQ(5, tsim_executed_count());
    EXPECT_EQ(5, counterOf(0));
    EXPECT_EQ(5, counterOf(1));  // the jog ended with the stop
    tsim_frame f = readNow();
    EXPECT_EQ(3, f.state);
    EXPECT_EQ(15, f.bufferLevel);
    ASSERT_EQ(0, send(steps(0, 5, 1, 20)));  // held as well
    EXPECT_EQ(3, readNext().state);
    EXPECT_EQ(20, tsim_buffer_level());
    ASSERT_EQ(0, command(12, {0, 0, 0, 0}));
    f = readNext();
    EXPECT_EQ(0, f.state);
    EXPECT_EQ(0, f.bufferLevel);
    EXPECT_EQ(5, tsim_executed_count());

    // A purge that drops moving segments leaves the machine mid-step, where a
    // realigned stream starts; running out keeps the fraction instead.
    std::vector<Seg> quarters = steps(0, 10, 0);
    for (size_t i = 0; i < quarters.size(); ++i) {
        quarters[i].phase[0] = static_cast<int32_t>(((500'000 + 250'000 * i) % 1'000'000) * 250);
        quarters[i].travel[0] = 250'000;
    }
    ASSERT_EQ(0, send(quarters));
    tsim_advance_ms(3);
    EXPECT_EQ(6'250'000, exactOf(0));
    ASSERT_EQ(0, command(13, {}));
    EXPECT_EQ(6'500'000, exactOf(0));
    ASSERT_EQ(0, send(steps(0, 1, 1)));
    tsim_advance_ms(1);
    EXPECT_EQ(7, counterOf(0));
    EXPECT_EQ(0, command(14, {0}));  // nothing held: straight to rest
    EXPECT_EQ(0, readNext().state);
    EXPECT_EQ(0, tsim_protocol_error_count()) << joined(protocolErrors());
}
