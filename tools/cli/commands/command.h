// The tool's subcommands as a table: each entry names a command, says which
// of the common options it takes, adds its own options, and runs it. One
// file per command; the common options are defined once (common.cpp), the
// summary printer once (summary.cpp), and main.cpp builds the command line
// from the table.
#pragma once

#include <CLI/CLI.hpp>

#include <span>
#include <string>

#include "core/common.h"
#include "files/machine.h"
#include "engine/runner.h"
#include "engine/session.h"

namespace telvo::tool {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// Which controller the library is to bind (see backend.h).
enum class ControllerChoice { Sim, Usb };

// The options shared by the commands that run a machine.
struct CommonOptions {
    std::string machineFile;
    ControllerChoice controller = ControllerChoice::Sim;
    double speed = 1.0;
    std::string trace;
    std::string plot;
    bool quiet = false;
    bool home = false;
};

// Which common options a command takes, and the defaults that differ.
enum CommonOption : unsigned {
    kMachineOption = 1u << 0,     // -m, --machine
    kControllerOption = 1u << 1,  // --controller sim|usb: the command opens a controller
    kTraceOption = 1u << 2,       // -t, --trace
    kClockOptions = 1u << 3,      // -s, --speed and -q, --quiet
    kPlotOption = 1u << 4,        // -p, --plot
    kHomeOption = 1u << 5,        // --home
};
struct CommonSet {
    unsigned options = 0;
    double speed = 1.0;     // default of --speed
    const char* plot = "";  // default of --plot
};

// The values of the commands' own options. Each command gets its own copy,
// so one command's defaults never leak into another's.
struct Arguments {
    std::string file;
    std::string format = "auto";
    std::string from, to, surface, axis;
    double velocity = 0.0;
    double seconds = 1.0;
    double everyMs = 100.0;
    bool brief = false;
    bool noPlot = false;
    RunOptions program;   // run: part-program options
    std::string targets;  // run: --targets FILE
    // serve: where it listens, the one folder programs may come from, the
    // page's files (default: installed beside the tool, or the source tree).
    std::string listen = "127.0.0.1:8080", programs, www;
};

struct Command {
    const char* name;
    const char* help;
    CommonSet common;
    // Adds the command's own options (null: none).
    void (*options)(CLI::App& sub, Arguments& args);
    // Runs the command; returns the exit status, throws ToolError.
    int (*run)(const CommonOptions& common, const Arguments& args);
};

// Every command, in the order --help lists them (table.cpp).
std::span<const Command* const> commands();

// The entries, one per file of this folder.
extern const Command kInfoCommand;
extern const Command kRunCommand;
extern const Command kCheckCommand;
extern const Command kProbeCommand;
extern const Command kHomeCommand;
extern const Command kJogCommand;
extern const Command kStatusCommand;
extern const Command kDemoCommand;
extern const Command kDecodeCommand;
extern const Command kMachineCommand;
extern const Command kUdevRuleCommand;
extern const Command kServeCommand;

// ---- the common options (common.cpp) ----

// The one definition of the common options: adds those `set` names to `sub`,
// bound to `values`, with their defaults.
void addCommonOptions(CLI::App& sub, const CommonSet& set, CommonOptions& values);

// ---- helpers several commands share (common.cpp) ----

std::string readFile(const std::string& path);
Machine loadMachine(const CommonOptions& c);
SessionOptions sessionOptions(const CommonOptions& c);
int parseAxis(const std::string& name);
void requireAxis(const Machine& m, int axis);
// "45,35,-2" in machine units, axis order X Y Z A B C; axes not given keep
// the value in `fallback` (steps). Returns steps.
Vec6 parsePoint(const std::string& text, const Machine& m, const Vec6& fallback,
                const char* option);
std::string stepsText(const Machine& m, const std::array<long long, kAxisCount>& v);
std::string unitsText(const Machine& m, const Vec6& steps);
void writePlot(Session& session, const std::string& path, const std::string& title);

// Runs `body` on an open session; on any failure stops the machine and
// releases the controller before the error is reported.
template <typename Body>
void withSession(Session& session, Body body) {
    try {
        body();
    } catch (...) {
        try {
            session.abort();
        } catch (...) {
        }
        throw;
    }
}

}  // namespace telvo::tool
