// Fuzz target: probe start, end and speed through telvo_CmdProbe, including
// NaN, infinities, huge and denormal values, under fuzzed axis limits; the
// accepted move is then fed through the queue by telvo_GetStatus.
//
// Input: a limits byte (the standard machine, or steps per unit, velocity
// and acceleration of each axis raw, so zero and negative limits occur), the
// slave bytes, then the six start and six end coordinates and the speed,
// each often a special value. A refused move must leave result 2 and write
// nothing; an accepted one must write a sound probe command and yield a
// finite, monotonic run of samples along the line that starts exactly at
// the start point, ends exactly at the end point and has one sample per
// millisecond of its plan.
#include "fuzz_common.h"

using namespace telvo_fuzz;

namespace {

constexpr int kSampleBudget = 20000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    resetWorld(true);
    MachineConfig config = standardConfig();
    const uint8_t limits = in.u8();
    if ((limits & 1) == 0) {
        for (int a = 0; a < 6; ++a) {
            config.axes[a].stepsPerUnit = in.i32();
            config.axes[a].maxVelocity = in.i32();
            config.axes[a].acceleration = in.i32();
        }
    }
    for (int j = 3; j < 6; ++j) config.axes[j].slaveOf = static_cast<uint8_t>((limits >> (j - 2)) & 1 ? j - 2 : 0);
    IoConfig io;
    std::memset(&io, 0, sizeof io);
    FUZZ_CHECK(telvo_Open() == 1, "open");
    FUZZ_CHECK(telvo_Init(&config, &io) == 1, "init");
    MachineStatus record;
    FUZZ_CHECK(deliver(restFrame(), &record) == 1, "frame");
    telvo_PosResync();

    double start[6];
    double end[6];
    for (double& s : start) s = in.interesting();
    for (double& e : end) e = in.interesting();
    const double speed = in.interesting();

    tsim_clear_writes();
    const int probed = telvo_CmdProbe(start, end, speed);
    const auto& state = telvo::probe::probeState;
    const auto& plan = telvo::probe::probePlan;
    if (probed == 0) {
        FUZZ_CHECK(telvo_GetProbeResult() == 2 && telvo_IsProbing() == 0, "refused move left result %d",
                   telvo_GetProbeResult());
        FUZZ_CHECK(tsim_write_count() == 0, "refused move wrote");
        FUZZ_CHECK(state.planReady == 0, "refused move left a plan");
        checkInvariants();
        return 0;
    }
    FUZZ_CHECK(telvo_IsProbing() == 1 && telvo_GetProbeResult() == 1, "accepted move");
    FUZZ_CHECK(std::isfinite(plan.endTime) && plan.endTime >= 0.0, "end time %g", plan.endTime);
    FUZZ_CHECK(plan.cruiseSpeed > 0.0 && plan.accelRate > 0.0, "speed %g, acceleration %g", plan.cruiseSpeed,
               plan.accelRate);
    checkWrites(false);

    double spu[6];
    double d[6];
    double dd = 0.0;
    double scale = 0.0;
    for (int i = 0; i < 6; ++i) {
        spu[i] = telvo::config::axisLimits.stepsPerUnit[i];
        d[i] = plan.end[i] - plan.start[i];
        dd += d[i] * d[i];
        scale += std::fabs(plan.start[i]) + std::fabs(plan.end[i]);
    }
    const double length = std::sqrt(dd);
    const double tolerance = 1e-9 + 1e-12 * scale / length;

    // Feed in rounds, emptying the queue between them as streaming would.
    int64_t samples = 0;
    double lastAlong = -1.0;
    double last[6] = {};
    bool first = true;
    while (state.planReady == 1 && samples < kSampleBudget) {
        telvo_GetStatus(&record);  // no frame: the feeder runs
        const auto& q = telvo::motion::queue;
        const int n = q.count.load();
        FUZZ_CHECK(n > 0 || state.planReady == 0, "the feeder gave nothing");
        for (int k = 0; k < n; ++k) {
            const MotionSegment& s = q.slots[(q.readIndex + k) % 5000];
            FUZZ_CHECK(s.tag == 0 && s.segmentCode == 0 && s.segmentAux == 0, "probe sample fields");
            double dot = 0.0;
            for (int i = 0; i < 6; ++i) {
                FUZZ_CHECK(std::isfinite(s.target[i]), "sample %lld axis %d: %g", static_cast<long long>(samples), i,
                           s.target[i]);
                if (first) FUZZ_CHECK(s.target[i] == plan.start[i] * spu[i], "first sample is not the start");
                dot += (s.target[i] / spu[i] - plan.start[i]) * d[i];
                last[i] = s.target[i];
            }
            const double along = dot / dd;
            FUZZ_CHECK(along >= -tolerance && along <= 1.0 + tolerance, "sample %lld off the line: %g",
                       static_cast<long long>(samples), along);
            FUZZ_CHECK(along >= lastAlong - tolerance, "sample %lld goes back: %.17g after %.17g",
                       static_cast<long long>(samples), along, lastAlong);
            lastAlong = along;
            first = false;
            ++samples;
        }
        telvo_BufClear();
        checkInvariants();
    }
    if (state.planReady == 0) {
        for (int i = 0; i < 6; ++i) FUZZ_CHECK(last[i] == plan.end[i] * spu[i], "last sample is not the end");
        // One sample per millisecond of plan time, summed as the clock is,
        // and the end point.
        int64_t expected = 1;
        for (double clock = 0.0; clock < plan.endTime; clock = clock + 0.001) ++expected;
        FUZZ_CHECK(samples == expected, "%lld samples for a plan of %g s", static_cast<long long>(samples),
                   plan.endTime);
    }
    telvo_CmdStop(0);
    checkInvariants();
    return 0;
}
