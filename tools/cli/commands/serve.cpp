// telvo serve: the operator's station. The engine's host loop with a web
// server polled between its cycles under a fixed time budget, so the motion
// stream never waits on the network.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "cli/commands/command.h"
#include "engine/engine.h"
#include "serve/http_server.h"
#include "serve/station.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace telvo::tool {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Network work per host-loop cycle: long enough to move a 20 MB upload
// along, short enough for the 1 ms stream.
constexpr std::chrono::microseconds kPollBudget{300};

volatile std::sig_atomic_t gServeStop = 0;

extern "C" void onServeSignal(int) {
    if (gServeStop) std::_Exit(kExitInterrupted);  // a second signal ends it at once
    gServeStop = 1;
}

fs::path executableDir() {
#if defined(_WIN32)
    char buffer[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return fs::path(std::string(buffer, n)).parent_path();
#else
    std::error_code ec;
    return fs::canonical("/proc/self/exe", ec).parent_path();
#endif
}

// The page's files: given, installed beside the tool, or in the source tree
// the tool was built from.
std::string findWww(const std::string& given) {
    std::error_code ec;
    if (!given.empty()) {
        if (!fs::is_regular_file(fs::path(given) / "index.html", ec))
            throw ToolError("--www " + given + ": no index.html there");
        return given;
    }
    fs::path installed = executableDir() / ".." / "share" / "telvo" / "www";
    if (fs::is_regular_file(installed / "index.html", ec)) return installed.string();
#if defined(TELVO_WWW_SOURCE_DIR)
    if (fs::is_regular_file(fs::path(TELVO_WWW_SOURCE_DIR) / "index.html", ec))
        return TELVO_WWW_SOURCE_DIR;
#endif
    throw ToolError("the station's page files are missing (looked in " + installed.string() +
                    "); give them with --www DIR");
}

void parseListen(const std::string& text, std::string& address, uint16_t& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) throw ToolError("--listen takes ADDRESS:PORT");
    address = text.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    if (address == "localhost") address = "127.0.0.1";
    char* end = nullptr;
    std::string portText = text.substr(colon + 1);
    unsigned long p = std::strtoul(portText.c_str(), &end, 10);
    if (portText.empty() || *end || p > 65535) throw ToolError("--listen: bad port " + portText);
    port = static_cast<uint16_t>(p);
}

std::string urlHost(const std::string& address, uint16_t port) {
    return (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
           std::to_string(port);
}

// A fresh folder for this run's uploads, removed at the end.
struct UploadsDir {
    fs::path path;
    UploadsDir() {
        fs::path base = fs::temp_directory_path();
        for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
            fs::path p = base / ("telvo-uploads-" + station::randomToken().substr(0, 12));
            std::error_code ec;
            if (fs::create_directory(p, ec) && !ec) path = p;
        }
        if (path.empty()) throw ToolError("cannot make a folder for uploads in " + base.string());
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace, ec);
    }
    ~UploadsDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    UploadsDir(const UploadsDir&) = delete;
    UploadsDir& operator=(const UploadsDir&) = delete;
};

int run(const CommonOptions& c, const Arguments& args) {
    Machine machine = loadMachine(c);
    std::string address;
    uint16_t port = 0;
    parseListen(args.listen, address, port);
    std::string programs;
    if (!args.programs.empty()) {
        std::error_code ec;
        if (!fs::is_directory(args.programs, ec))
            throw ToolError("--programs " + args.programs + ": not a folder");
        programs = fs::canonical(args.programs, ec).string();
    }
    UploadsDir uploads;

    EngineOptions eo;
    eo.speed = c.speed;
    eo.requireSimulator = c.controller == ControllerChoice::Sim;
    eo.tracePath = c.trace;
    Engine engine(machine, eo);
    engine.open();

    const Clock::time_point start = Clock::now();
    auto clock = [start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    station::StationOptions so;
    so.wwwDir = findWww(args.www);
    so.uploadsDir = uploads.path.string();
    so.programsDir = programs;
    so.access = station::makePolicy(address, port);
    station::Station station(engine, machine, so, clock);
    engine.addObserver(&station);

    station::HttpServerOptions ho;
    ho.address = address;
    ho.port = port;
    station::HttpServer server(station, ho);
    station.attach(&server);
    // A long pre-pass (a program of a million moves takes seconds) keeps
    // serving statuses, pings and other clients from within.
    station.setPump([&server] { server.poll(kPollBudget); });
    // With port 0 the system chose one: the Host checks must know which.
    station.setPort(server.port());
    const station::AccessPolicy& policy = so.access;

    std::string url =
        "http://" + urlHost(address == "0.0.0.0" ? "127.0.0.1" : address, server.port()) + "/";
    fmt::print("telvo serve: {} on the {} controller\n", machine.name,
               engine.simulated() ? "simulated" : "USB");
    if (policy.loopback) {
        fmt::print("open {} in a browser (Ctrl-C ends)\n", url);
    } else {
        fmt::print("open {}?token={} in a browser (the token is asked once; Ctrl-C ends)\n", url,
                   policy.token);
    }
    (void)std::fflush(stdout);

    (void)std::signal(SIGINT, onServeSignal);
    (void)std::signal(SIGTERM, onServeSignal);

    // The cycles that matter to the stream: those while the machine moves
    // (a pre-pass of a large program holds one idle cycle for seconds).
    auto moving = [&engine] {
        EngineMode m = engine.status().mode;
        return m == EngineMode::Running || m == EngineMode::Holding || m == EngineMode::Stopping ||
               m == EngineMode::Jogging || m == EngineMode::Homing || m == EngineMode::Probing;
    };
    double worstCycle = 0.0;
    uint64_t cycles = 0, slowCycles = 0;
    Clock::time_point last = Clock::now();
    try {
        while (!gServeStop) {
            const bool movingBefore = moving();
            engine.advance();
            station.tick();
            server.poll(kPollBudget);
            engine.sleepUntilNextCycle();
            Clock::time_point now = Clock::now();
            if (movingBefore && moving()) {
                double cycle = std::chrono::duration<double>(now - last).count();
                worstCycle = std::max(worstCycle, cycle);
                ++cycles;
                if (cycle > 0.005) ++slowCycles;
            }
            last = now;
        }
    } catch (const Interrupted&) {
    }
    // Ending: what moves is brought to rest first.
    if (engine.status().mode != EngineMode::Idle && engine.status().mode != EngineMode::Closed) {
        (void)engine.stop();
        Clock::time_point until = Clock::now() + std::chrono::seconds(30);
        while (engine.status().mode != EngineMode::Idle &&
               engine.status().mode != EngineMode::Closed &&
               engine.status().mode != EngineMode::Fault && Clock::now() < until) {
            engine.advance();
            engine.sleepUntilNextCycle();
        }
    }
    server.shutdown(std::chrono::milliseconds(500));
    engine.removeObserver(&station);
    engine.close();
    fmt::print(
        "telvo serve: ended; while moving: {} host-loop cycles, {} over 5 ms, the longest {:.1f} "
        "ms; underruns {}\n",
        cycles, slowCycles, worstCycle * 1000.0, engine.status().underruns);
    return 0;
}

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("--listen", a.listen,
                   "ADDRESS:PORT to listen on; other than loopback, a token is required")
        ->capture_default_str();
    sub.add_option("--programs", a.programs, "The one folder programs may be chosen from");
    sub.add_option("--www", a.www, "The page's files (default: installed with the tool)");
}

}  // namespace

const Command kServeCommand = {"serve",
                               "The operator's station: a web page that runs the machine",
                               {kMachineOption | kControllerOption | kTraceOption | kClockOptions},
                               options,
                               run};

}  // namespace telvo::tool
