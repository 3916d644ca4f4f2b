// Prints the output of the library's pure logic for a fixed set of inputs:
// configuration blocks, wire segments and probe plans with their samples and
// commands, as hex. Built for Linux and for Windows (i686 and x86_64), the
// outputs must be identical byte for byte: floating point on every target
// gives the same wire bytes.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "config/config_state.h"
#include "motion/motion.h"
#include "probe/probe.h"
#include "probe/probe_state.h"
#include "telvo/telvo.h"

namespace {

// A small deterministic generator (integer arithmetic only).
struct Lcg {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 32);
    }
    // A double from integers: exact on every target.
    double between(int32_t low, int32_t high, int fractionBits) {
        const uint32_t span = static_cast<uint32_t>(high - low);
        const double whole = static_cast<double>(low) + static_cast<double>(next() % (span + 1));
        const uint64_t bits = (static_cast<uint64_t>(next()) << 32) | next();
        const uint64_t mask = (uint64_t{1} << fractionBits) - 1;  // fractionBits < 53
        const double fraction = std::ldexp(static_cast<double>(bits & mask), -fractionBits);
        return whole + fraction;
    }
};

void hex(const char* label, int index, const void* data, size_t size) {
    std::printf("%s %d ", label, index);
    const auto* b = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) std::printf("%02x", b[i]);
    std::printf("\n");
}

void configurations() {
    Lcg rng{1};
    for (int n = 0; n < 8; ++n) {
        MachineConfig config;
        IoConfig io;
        auto* c = reinterpret_cast<uint8_t*>(&config);
        auto* i = reinterpret_cast<uint8_t*>(&io);
        for (size_t k = 0; k < sizeof config; ++k) c[k] = static_cast<uint8_t>(rng.next());
        for (size_t k = 0; k < sizeof io; ++k) i[k] = static_cast<uint8_t>(rng.next());
        if (n == 0) {
            std::memset(&config, 0, sizeof config);
            std::memset(&io, 0, sizeof io);
        }
        uint8_t axis[telvo::config::kAxisBlockSize];
        uint8_t ioBlock[telvo::config::kIoBlockSize];
        telvo::config::buildAxisBlock(config, axis);
        telvo::config::buildIoBlock(io, ioBlock);
        telvo::config::computeAxisLimits(config);
        hex("axis-block", n, axis, sizeof axis);
        hex("io-block", n, ioBlock, sizeof ioBlock);
        hex("limits", n, &telvo::config::axisLimits, sizeof telvo::config::axisLimits);
    }
}

void segments() {
    Lcg rng{2};
    double tracked[6];
    for (double& t : tracked) t = rng.between(-100000, 100000, 20) + 0.5;
    double target[6];
    for (double& t : target) t = tracked[&t - target] - 0.5;
    for (int n = 0; n < 10000; ++n) {
        for (int a = 0; a < 6; ++a) {
            switch (rng.next() % 4) {
                case 0:  // small smooth step
                    target[a] += rng.between(-20, 20, 24) / 7.0;
                    break;
                case 1:  // near the travel limit
                    target[a] += (rng.next() & 1 ? 1.0 : -1.0) * rng.between(2140, 2145, 30);
                    break;
                case 2:  // a step boundary, or a millionth one
                    target[a] = std::floor(target[a]) + static_cast<double>(rng.next() % 1000000) / 1e6;
                    break;
                default:  // back and forth across zero
                    target[a] = rng.between(-3, 3, 40) - 0.5;
                    break;
            }
        }
        uint8_t out[48];
        telvo::motion::convertSegment(target, tracked, out);
        hex("segment", n, out, sizeof out);
    }
    hex("tracked", 0, tracked, sizeof tracked);
}

void probes() {
    struct Case {
        int32_t stepsPerUnit[6];
        int32_t velocity[6];
        int32_t acceleration[6];
        uint8_t slave[3];
        double start[6];
        double end[6];
        double speed;
    } cases[] = {
        {{1000, 1000, 1000, 1000, 1000, 1000}, {50000, 50000, 50000, 50000, 50000, 50000},
         {100000, 100000, 100000, 100000, 100000, 100000}, {0, 0, 0},
         {0, 0, 0, 0, 0, 0}, {10000, 0, 0, 0, 0, 0}, 20.0},
        {{1000, 1000, 1000, 1000, 1000, 1000}, {50000, 50000, 50000, 50000, 50000, 50000},
         {100000, 50000, 100000, 100000, 100000, 100000}, {0, 1, 5},
         {0, 0, 0, 0, 0, 0}, {10000, 10000, 0, 0, 0, 0}, 100.0},
        {{800, 1600, 2560, 400, 1000, 5}, {40000, 30000, 90000, 12000, 5000, 7000},
         {200000, 150000, 400000, 60000, 20000, 30000}, {2, 0, 4},
         {-1234.5, 777.25, 10.0, -3.0, 0.0, 1.0}, {2345.75, -888.5, -4000.125, 600.0, 50.0, 2.0}, 37.5},
    };
    int index = 0;
    for (const Case& c : cases) {
        MachineConfig config;
        std::memset(&config, 0, sizeof config);
        IoConfig io;
        std::memset(&io, 0, sizeof io);
        for (int a = 0; a < 6; ++a) {
            config.axes[a].stepsPerUnit = c.stepsPerUnit[a];
            config.axes[a].maxVelocity = c.velocity[a];
            config.axes[a].acceleration = c.acceleration[a];
        }
        for (int j = 0; j < 3; ++j) config.axes[3 + j].slaveOf = c.slave[j];
        telvo_Init(&config, &io);  // no device: blocks stored, limits computed
        telvo_CmdProbe(c.start, c.end, c.speed);
        hex("probe-plan", index, &telvo::probe::probePlan, sizeof telvo::probe::probePlan);
        uint8_t command[48];
        telvo::probe::buildProbeCommand(command);
        hex("probe-command", index, command, sizeof command);
        double sample[6];
        int n = 0;
        while (telvo::probe::sampleProbeMove(sample) == 1) hex("probe-sample", n++, sample, sizeof sample);
        std::printf("probe-samples %d %d\n", index, n);
        ++index;
    }
}

}  // namespace

int main() {
    // Two million small writes: fully buffered, so slow consoles keep up.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    configurations();
    segments();
    probes();
    return 0;
}
