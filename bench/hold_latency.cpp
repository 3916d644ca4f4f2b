// Hold latency in simulated time (a table of figures, not a timed test):
// from hold() to the controller at rest, on the stepped simulated clock,
// for status frame periods of 1 and 10 ms and several stream depths. The
// motion already in the controller's buffer and the library's queue runs
// out before the deceleration, so the latency grows with the depth.
//
//   telvo_hold_latency [--depth MS]... [--program FILE] [--holds N]
//
// A program (by default the pocket of tests/tool/data/programs) is held
// every 1.7 s of machine time while it moves, and resumed once at rest.
#include <unistd.h>

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "files/builtin.h"
#include "files/machine.h"
#include "telvo_sim.h"

using namespace telvo::tool;

namespace {

struct Figures {
    std::vector<double> rest;      // hold() to the last executed motion, ms
    std::vector<double> reported;  // hold() to the engine's Held, ms
    uint64_t underruns = 0;
};

Figures measure(const std::string& program, double depthMs, int framePeriod, int holds) {
    Machine m = defaultMachine();
    EngineOptions o;
    o.speed = 0.0;
    o.requireSimulator = true;
    o.depthMs = depthMs;
    o.pauses = o.toolChanges = PauseBehaviour::GoOn;
    Engine engine(m, o);
    engine.open();
    void* sim = dlopen("libtelvo_sim.so", RTLD_NOW | RTLD_NOLOAD);
    auto setPeriod = sim ? reinterpret_cast<decltype(&tsim_set_frame_period)>(
                               dlsym(sim, "tsim_set_frame_period"))
                         : nullptr;
    auto clock =
        sim ? reinterpret_cast<decltype(&tsim_clock_ms)>(dlsym(sim, "tsim_clock_ms")) : nullptr;
    auto position =
        sim ? reinterpret_cast<decltype(&tsim_position)>(dlsym(sim, "tsim_position")) : nullptr;
    if (!setPeriod || !clock || !position) {
        std::fprintf(stderr, "telvo_hold_latency: no simulated controller bound\n");
        std::exit(1);
    }
    setPeriod(framePeriod);
    Figures f;
    std::string why = engine.run(program);
    if (!why.empty()) {
        std::fprintf(stderr, "telvo_hold_latency: %s\n", why.c_str());
        std::exit(1);
    }
    int64_t nextHold = clock() + 1500;
    while (engine.status().mode != EngineMode::Idle) {
        engine.advance();
        if (static_cast<int>(f.rest.size()) >= holds || clock() < nextHold ||
            engine.status().mode != EngineMode::Running || engine.status().feed <= 0.0)
            continue;
        if (!engine.hold().empty()) continue;
        const int64_t heldAt = clock();
        std::array<int32_t, TSIM_COUNTERS> last{}, now{};
        position(last.data());
        int64_t restAt = heldAt;
        while (engine.status().mode == EngineMode::Holding) {
            engine.advance();
            position(now.data());
            if (now != last) restAt = clock(), last = now;
        }
        f.rest.push_back(static_cast<double>(restAt - heldAt));
        f.reported.push_back(static_cast<double>(clock() - heldAt));
        engine.resume();
        nextHold = clock() + 1700;
    }
    f.underruns = engine.lastReport().underruns;
    engine.close();
    dlclose(sim);
    return f;
}

double mean(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s += x;
    return v.empty() ? 0.0 : s / static_cast<double>(v.size());
}

}  // namespace

int main(int argc, char** argv) {
    // The library binds its backend while it loads: name the simulator
    // (beside the library) and start again.
    if (std::getenv("TELVO_BACKEND") == nullptr) {
        setenv("TELVO_BACKEND", "libtelvo_sim.so", 1);
        execv("/proc/self/exe", argv);
        std::perror("telvo_hold_latency: execv");
        return 1;
    }
    std::vector<double> depths;
    std::string program = std::string(TELVO_PROGRAMS_DIR) + "/grbl_pocket.nc";
    int holds = 12;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--depth") && i + 1 < argc)
            depths.push_back(std::atof(argv[++i]));
        else if (!std::strcmp(argv[i], "--program") && i + 1 < argc)
            program = argv[++i];
        else if (!std::strcmp(argv[i], "--holds") && i + 1 < argc)
            holds = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: telvo_hold_latency [--depth MS]... [--program FILE] "
                         "[--holds N]\n");
            return 2;
        }
    }
    // The default depth, and the least a machine file may ask for (which
    // streams the test programs at --speed 1 without an underrun).
    if (depths.empty()) depths = {250.0, 20.0};
    std::printf("hold latency, simulated ms (%s, %d holds)\n", program.c_str(), holds);
    std::printf("%-12s %-10s %-6s %-10s %-10s %-14s %s\n", "frame (ms)", "depth (ms)", "holds",
                "rest mean", "rest max", "Held reported", "underruns");
    for (int period : {1, 10}) {
        for (double depth : depths) {
            Figures f = measure(program, depth, period, holds);
            std::printf("%-12d %-10g %-6zu %-10.1f %-10.0f %-14.1f %llu\n", period, depth,
                        f.rest.size(), mean(f.rest),
                        f.rest.empty() ? 0.0 : *std::max_element(f.rest.begin(), f.rest.end()),
                        mean(f.reported), static_cast<unsigned long long>(f.underruns));
        }
    }
    return 0;
}
