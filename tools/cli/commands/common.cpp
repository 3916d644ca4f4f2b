// The common options, defined once, and the helpers the commands share.
#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <io.h>
#define TELVO_ISATTY _isatty
#define TELVO_FILENO _fileno
#else
#include <unistd.h>
#define TELVO_ISATTY isatty
#define TELVO_FILENO fileno
#endif

#include "cli/commands/command.h"
#include "files/plot.h"

namespace telvo::tool {

void addCommonOptions(CLI::App& sub, const CommonSet& set, CommonOptions& c) {
    if (set.options & kMachineOption) {
        sub.add_option("-m,--machine", c.machineFile,
                       "Machine file (TOML); default: the built-in machine")
            ->check(CLI::ExistingFile);
    }
    if (set.options & kControllerOption) {
        c.controller = ControllerChoice::Sim;
        sub.add_option_function<std::string>(
               "--controller",
               [&c](const std::string& name) {
                   c.controller = name == "usb" ? ControllerChoice::Usb : ControllerChoice::Sim;
               },
               "sim: the simulated controller; usb: a controller on USB")
            ->check(CLI::IsMember({"sim", "usb"}))
            ->default_str("sim");
    }
    if (set.options & kClockOptions) {
        c.speed = set.speed;
        sub.add_option("-s,--speed", c.speed,
                       "Simulated controller's clock: times real time; 0 = as fast as possible, "
                       "stepped by the tool")
            ->check(CLI::Range(0.0, 1000.0))
            ->capture_default_str();
    }
    if (set.options & kTraceOption) {
        sub.add_option(
            "-t,--trace", c.trace,
            "Record packets, blocks and status records to FILE (read with `telvo decode`)");
    }
    if (set.options & kClockOptions) sub.add_flag("-q,--quiet", c.quiet, "No progress line");
    if (set.options & kPlotOption) {
        c.plot = set.plot;
        CLI::Option* plot =
            sub.add_option("-p,--plot", c.plot, "Write the toolpath and buffer plot to FILE.svg");
        if (!c.plot.empty()) plot->capture_default_str();
    }
    if (set.options & kHomeOption) sub.add_flag("--home", c.home, "Home all axes first");
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Machine loadMachine(const CommonOptions& c) {
    // The built-in machine is a demonstration: its axes, limits and pins
    // mean nothing to a real machine, which must be described by its own file.
    if (c.machineFile.empty() && c.controller == ControllerChoice::Usb) {
        throw ToolError(
            "a real controller needs its own machine file (-m FILE); "
            "`telvo machine` prints the built-in one as a start");
    }
    return c.machineFile.empty() ? defaultMachine() : loadMachineFile(c.machineFile);
}

SessionOptions sessionOptions(const CommonOptions& c) {
    SessionOptions o;
    o.speed = c.speed;
    o.tracePath = c.trace;
    o.requireSimulator = c.controller == ControllerChoice::Sim;
    if (c.quiet)
        o.progress = ProgressMode::Off;
    else
        o.progress = TELVO_ISATTY(TELVO_FILENO(stderr)) ? ProgressMode::Live : ProgressMode::Lines;
    return o;
}

int parseAxis(const std::string& name) {
    if (name.size() == 1 && axisIndex(name[0]) >= 0) return axisIndex(name[0]);
    throw ToolError("'" + name + "' is not an axis (x, y, z, a, b or c)");
}

void requireAxis(const Machine& m, int axis) {
    if (!m.axes[axis].configured)
        throw ToolError(
            fmt::format("axis {} is not configured on this machine", kAxisLetters[axis]));
}

Vec6 parsePoint(const std::string& text, const Machine& m, const Vec6& fallback,
                const char* option) {
    Vec6 out = fallback;
    std::stringstream in(text);
    std::string field;
    int axis = 0;
    while (std::getline(in, field, ',')) {
        if (axis >= kAxisCount)
            throw ToolError(fmt::format("{}: at most {} coordinates", option, kAxisCount));
        char* end = nullptr;
        double v = std::strtod(field.c_str(), &end);
        if (field.empty() || *end != '\0' || !std::isfinite(v))
            throw ToolError(fmt::format("{}: '{}' is not a number", option, field));
        if (!m.axes[axis].configured)
            throw ToolError(
                fmt::format("{}: axis {} is not configured", option, kAxisLetters[axis]));
        out[axis] = v * m.axes[axis].stepsPerUnit;
        ++axis;
    }
    if (axis == 0) throw ToolError(fmt::format("{}: give coordinates as X,Y,Z", option));
    applySlaves(out, fallback, m.limits());
    return out;
}

std::string stepsText(const Machine& m, const std::array<long long, kAxisCount>& v) {
    std::string s;
    for (int a = 0; a < kAxisCount; ++a) {
        if (m.axes[a].configured)
            s += fmt::format("{}{} {}", s.empty() ? "" : "  ", kAxisLetters[a], v[a]);
    }
    return s;
}

std::string unitsText(const Machine& m, const Vec6& steps) {
    std::string s;
    for (int a = 0; a < kAxisCount; ++a) {
        if (m.axes[a].configured) {
            s += fmt::format("{}{} {:.3f}", s.empty() ? "" : "  ", kAxisLetters[a],
                             steps[a] / m.axes[a].stepsPerUnit);
        }
    }
    return s + " " + m.units;
}

void writePlot(Session& session, const std::string& path, const std::string& title) {
    if (path.empty()) return;
    PlotData& data = session.plot();
    data.title = title;
    writeTextFile(path, renderPlot(data));
}

}  // namespace telvo::tool
