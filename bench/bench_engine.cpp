// Memory and start of the engine on long programs, as ratios and figures
// read in one run (a benchmark, not a timed test).
//
// It writes 3D surfacing programs of 1 M and 10 M moves (0.05 mm steps over
// a wavy surface) to a temporary folder and, for each: the pre-pass
// (interpret and plan every move without sampling: time per move, the
// machine-time estimate), then a run on the stepped simulated controller:
// the CPU time from the end of the pre-pass to the first segment handed to
// the library, and the stream for a stretch of machine time (the whole
// program with --full). The peak resident memory of the process is read
// after each program (it only grows, so each figure covers everything
// before it).
//
//   telvo_engine_bench [--moves N]... [--stream SECONDS] [--full] [--keep DIR]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "files/builtin.h"

using namespace telvo::tool;

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double peakMegabytes() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;  // kB on Linux
}

// Raster rows of 0.05 mm steps, 90 mm long, 0.5 mm apart, as CAM writes them.
void writeSurfacing(const std::string& path, long moves) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fputs("G90 G21 G17 G94 G64 P0.01\nG0 Z5\nG0 X0 Y0\nG1 Z0 F600\nF3000\n", f);
    const long perRow = 1800;
    long written = 0;
    double y = 0.0;
    for (long row = 0; written < moves; ++row) {
        for (long i = 0; i <= perRow && written < moves; ++i, ++written) {
            double x = static_cast<double>(row % 2 ? perRow - i : i) * 0.05;
            std::fprintf(f, "G1 X%.3f Y%.3f Z%.4f\n", x, y,
                         -1.0 + 0.6 * std::sin(x / 7.0) * std::cos(y / 9.0));
        }
        y += 0.5;
        if (y > 90.0) y = 0.0;
    }
    std::fputs("G0 Z5\nM30\n", f);
    std::fclose(f);
}

struct Counter : EngineObserver {
    uint64_t samples = 0;
    double firstCpu = -1.0;
    void onSample(const Sample&) override {
        if (samples++ == 0) firstCpu = cpuSeconds();
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("TELVO_BACKEND") == nullptr) {
        setenv("TELVO_BACKEND", "libtelvo_sim.so", 1);
        execv("/proc/self/exe", argv);
        std::perror("telvo_engine_bench: execv");
        return 1;
    }
    std::vector<long> sizes;
    double streamSeconds = 20.0;
    bool full = false;
    std::string keep;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--moves") && i + 1 < argc)
            sizes.push_back(std::atol(argv[++i]));
        else if (!std::strcmp(argv[i], "--stream") && i + 1 < argc)
            streamSeconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--full"))
            full = true;
        else if (!std::strcmp(argv[i], "--keep") && i + 1 < argc)
            keep = argv[++i];
    }
    if (sizes.empty()) sizes = {1'000'000, 10'000'000};
    std::string dir = keep.empty() ? std::filesystem::temp_directory_path().string() + "/telvo-bench-" +
                                         std::to_string(getpid())
                                   : keep;
    std::filesystem::create_directories(dir);

    Machine machine = defaultMachine();
    // The built-in machine's travel is 100 mm; the surface stays inside it.
    std::printf("%-10s %10s %12s %12s %14s %12s %12s %10s\n", "moves", "file MB", "prepass s",
                "us/move", "first seg ms", "machine s", "streamed s", "peak MB");
    for (long moves : sizes) {
        std::string path = dir + "/surface-" + std::to_string(moves) + ".nc";
        if (!std::filesystem::exists(path)) writeSurfacing(path, moves);
        double fileMb = static_cast<double>(std::filesystem::file_size(path)) / 1e6;

        EngineOptions options;
        options.speed = 0.0;
        options.pauses = PauseBehaviour::GoOn;
        Engine engine(machine, options);
        Counter counter;
        engine.addObserver(&counter);
        engine.open();
        // The pre-pass, as run() makes it before anything moves.
        double c0 = cpuSeconds();
        ProgramCheck check = engine.check(path);
        double c1 = cpuSeconds();
        if (!check.ok()) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), check.errors.front().message.c_str());
            return 1;
        }
        // run() makes the pre-pass again: the first segment is timed from
        // the end of that one, measured here as run()'s own cost minus it.
        double r0 = cpuSeconds();
        std::string refused = engine.run(path);
        if (!refused.empty()) {
            std::fprintf(stderr, "%s\n", refused.c_str());
            return 1;
        }
        double r1 = cpuSeconds();
        while (counter.samples == 0 && engine.status().mode == EngineMode::Running) engine.advance();
        double firstMs = ((counter.firstCpu - r1) + (r1 - r0 - (c1 - c0))) * 1e3;
        uint64_t limit = full ? UINT64_MAX : static_cast<uint64_t>(streamSeconds * 1000.0);
        while (engine.status().mode != EngineMode::Idle && counter.samples < limit) engine.advance();
        if (engine.status().mode != EngineMode::Idle) {
            engine.stop();
            while (engine.status().mode != EngineMode::Idle) engine.advance();
        }
        engine.close();
        std::printf("%-10ld %10.1f %12.2f %12.3f %14.1f %12.1f %12.1f %10.1f\n", moves, fileMb,
                    c1 - c0, (c1 - c0) / static_cast<double>(check.moves) * 1e6, firstMs,
                    check.seconds, static_cast<double>(counter.samples) / 1000.0, peakMegabytes());
        std::fflush(stdout);
    }
    if (keep.empty()) std::filesystem::remove_all(dir);
    return 0;
}
