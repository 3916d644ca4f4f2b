// Benchmarks of the library's hot paths against a backend that discards
// writes: the streaming conversion beside a literal reference and a bare
// copy, one second of host-loop motion, and the probe feeder beside plain
// adds.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cfenv>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "common/bytes.h"
#include "frame/frame.h"
#include "motion/motion.h"
#include "probe/probe.h"
#include "telvo/telvo.h"

namespace {

constexpr int kBlock = 75;
constexpr int kBlocksPerFill = 53;  // 3975 segments: the queue nearly full

std::vector<MotionSegment> makePath(size_t count) {
    std::vector<MotionSegment> path(count);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> step(-20.0, 20.0);
    double position[6] = {1000.25, -2000.5, 3.75, 0.0, 12345.125, -0.5};
    for (size_t n = 0; n < count; ++n) {
        std::memset(&path[n], 0, sizeof(MotionSegment));
        for (int a = 0; a < 6; ++a) {
            position[a] += step(rng);
            path[n].target[a] = position[a];
        }
        path[n].tag = static_cast<int32_t>(n);
        path[n].segmentCode = 0x12;
    }
    return path;
}

void openNullDevice() {
    static bool opened = false;
    if (!opened) {
        opened = telvo_Open() == 1;
        MachineConfig config{};
        IoConfig io{};
        config.axes[4].slaveOf = 2;
        telvo_Init(&config, &io);
    }
}

// telvo_BufUpdate per segment, 75 per block, queue refilled untimed.
void BM_BufUpdatePerSegment(benchmark::State& state) {
    openNullDevice();
    const auto path = makePath(kBlock * kBlocksPerFill);
    size_t segments = 0;
    for (auto _ : state) {
        state.PauseTiming();
        telvo_BufClear();
        for (const auto& s : path) telvo_BufAdd(&s);
        state.ResumeTiming();
        for (int b = 0; b < kBlocksPerFill; ++b) {
            telvo::frame::setBufferLevel(0);
            benchmark::DoNotOptimize(telvo_BufUpdate());
        }
        segments += path.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(segments));
    state.counters["ns_per_segment"] = benchmark::Counter(
        static_cast<double>(segments), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BufUpdatePerSegment)->Unit(benchmark::kMicrosecond);

// The formula as written: the rounding direction switched with fesetround
// around each axis's conversion.
__attribute__((noinline)) void literalSegment(const MotionSegment& s, double tracked[6], uint8_t out[52]) {
    for (int a = 0; a < 6; ++a) {
        const int previous = std::fegetround();
        std::fesetround(FE_DOWNWARD);
        const double d = tracked[a];
        const double v = s.target[a] + 0.5;
        const double base = std::floor(d);
        const auto b = static_cast<int32_t>(base);
        const auto phase = static_cast<int32_t>(std::floor((d - b) * 1000000.0));
        const auto end = static_cast<int32_t>(std::floor((v - b) * 1000000.0));
        tracked[a] = v;
        std::fesetround(previous);
        telvo::putI32(out + 8 * a, phase * 250);
        telvo::putI32(out + 8 * a + 4, end - phase);
    }
    telvo::putU16(out + 48, 0);
    out[50] = static_cast<uint8_t>((s.segmentCode >> 4) | (s.segmentCode << 4));
    out[51] = s.segmentAux;
}

void BM_LiteralReferencePerSegment(benchmark::State& state) {
    const auto path = makePath(kBlock * kBlocksPerFill);
    double tracked[6] = {1000.75, -2000.0, 4.25, 0.5, 12345.625, 0.0};
    uint8_t block[kBlock * 52];
    size_t segments = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < path.size(); ++i) literalSegment(path[i], tracked, block + 52 * (i % kBlock));
        benchmark::DoNotOptimize(block);
        segments += path.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(segments));
    state.counters["ns_per_segment"] = benchmark::Counter(
        static_cast<double>(segments), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LiteralReferencePerSegment)->Unit(benchmark::kMicrosecond);

void BM_BareCopyPerSegment(benchmark::State& state) {
    const auto path = makePath(kBlock * kBlocksPerFill);
    uint8_t block[kBlock * 52];
    size_t segments = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < path.size(); ++i) {
            std::memcpy(block + 52 * (i % kBlock), &path[i], 52);
            benchmark::ClobberMemory();
        }
        segments += path.size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(segments));
    state.counters["ns_per_segment"] = benchmark::Counter(
        static_cast<double>(segments), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BareCopyPerSegment)->Unit(benchmark::kMicrosecond);

// One second of motion through the host loop: 1000 segments added, status
// polled and blocks streamed as a host does.
void BM_HostLoopOneSecond(benchmark::State& state) {
    openNullDevice();
    const auto path = makePath(1000);
    MachineStatus record;
    for (auto _ : state) {
        size_t added = 0;
        while (added < path.size() || telvo_BufEmpty() == 0) {
            if (telvo_GetStatus(&record) == 1) telvo_BufUpdate();
            while (added < path.size() && telvo_BufFreeCnt() > 0) telvo_BufAdd(&path[added++]);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 1000);
}
BENCHMARK(BM_HostLoopOneSecond)->Unit(benchmark::kMicrosecond);

// The probe feeder queuing 3999 samples in one call, beside 3999 adds.
void BM_ProbeFeeder3999(benchmark::State& state) {
    MachineConfig config{};
    IoConfig io{};
    for (int a = 0; a < 7; ++a) config.axes[a] = {1000, 50000, 100000, 0, 0, 0, 0, 0, 0};
    telvo_Init(&config, &io);
    const double start[6] = {0, 0, 0, 0, 0, 0};
    const double end[6] = {100000, 50000, 0, 0, 0, 0};  // far longer than 4 s
    for (auto _ : state) {
        state.PauseTiming();
        telvo_BufClear();
        telvo_CmdProbe(start, end, 20.0);
        state.ResumeTiming();
        telvo::probe::feedProbeMove();
    }
    if (telvo_BufFreeCnt() != 0) state.SkipWithError("the feeder did not fill the queue");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 3999);
}
BENCHMARK(BM_ProbeFeeder3999)->Unit(benchmark::kMicrosecond);

void BM_BufAdd3999(benchmark::State& state) {
    const auto path = makePath(3999);
    for (auto _ : state) {
        state.PauseTiming();
        telvo_BufClear();
        state.ResumeTiming();
        for (const auto& s : path) telvo_BufAdd(&s);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 3999);
}
BENCHMARK(BM_BufAdd3999)->Unit(benchmark::kMicrosecond);

}  // namespace

// The library binds its device backend while it loads, before main runs:
// without TELVO_BACKEND the program names the discarding backend beside it
// and starts itself again.
int main(int argc, char** argv) {
    if (std::getenv("TELVO_BACKEND") == nullptr) {
        setenv("TELVO_BACKEND", "libtelvo_null.so", 1);
        execv("/proc/self/exe", argv);
        std::perror("telvo_bench: execv");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
