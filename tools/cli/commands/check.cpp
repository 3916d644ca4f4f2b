// telvo check FILE: a part program interpreted, planned, sampled and run
// through the run checker with no controller: its problems, the machine
// time, the feed-limited bound and the check, and optionally the plot.
#include <fmt/format.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands/command.h"
#include "cli/commands/summary.h"
#include "engine/engine.h"
#include "files/plot.h"

namespace telvo::tool {
namespace {

// Points the plot keeps at most: every k-th target, k doubling when full.
constexpr size_t kPlotPoints = 200000;

template <typename T>
void thin(std::vector<T>& v) {
    size_t w = 0;
    for (size_t i = 1; i < v.size(); i += 2) v[w++] = v[i];
    v.resize(w);
}

int run(const CommonOptions& c, const Arguments& args) {
    const std::string& file = args.file;
    Machine m = loadMachine(c);
    PlotData plot;
    plot.units = m.units;
    plot.bufferSize = m.bufferSize;
    size_t count = 0, stride = 1;
    auto toUnits = [&](const Vec6& steps, int a) {
        return m.axes[a].configured ? steps[a] / m.axes[a].stepsPerUnit : 0.0;
    };
    auto keep = [&](const Sample& s) {
        if (c.plot.empty() || ++count % stride != 0) return;
        plot.commanded.push_back({toUnits(s.steps, 0), toUnits(s.steps, 1)});
        plot.commandedRapid.push_back(s.rapid ? 1 : 0);
        if (plot.commanded.size() >= kPlotPoints) {
            thin(plot.commanded);
            thin(plot.commandedRapid);
            stride *= 2;
        }
    };
    DryRun r = Engine::dryRun(m, file, args.program.blockDelete, keep);
    for (const Diagnostic& n : r.program.notes)
        fmt::print("{}:{}: note: {}\n", file, n.line, n.message);
    if (!r.program.ok()) {
        (void)std::fflush(stdout);
        fmt::print(stderr, "{}",
                   tool::formatDiagnostics(r.program.errors, file, r.program.truncated));
        throw ToolError(fmt::format("{}: {}{} problem{}", file, r.program.errors.size(),
                                    r.program.truncated ? "+" : "",
                                    r.program.errors.size() == 1 ? "" : "s"));
    }
    std::vector<Row> rows;
    rows.push_back({"program", fmt::format("{} ({} lines, {} moves)", file, r.program.lines,
                                           r.program.moves)});
    rows.push_back(
        {"machine time", fmt::format("{:.2f} s planned, from machine zero", r.program.seconds)});
    rows.push_back({"feed bound", fmt::format("{:.2f} s (every move at its feed or the axes' "
                                              "top speed, no acceleration)",
                                              r.program.feedBoundSeconds)});
    rows.push_back({"targets", fmt::format("{}", r.targets)});
    rows.push_back({"check", r.check.summary()});
    for (const std::string& p : r.check.problems) rows.push_back({"", p});
    if (!c.plot.empty()) {
        plot.title = fmt::format("telvo check {}", file);
        writeTextFile(c.plot, renderPlot(plot));
        rows.push_back({"plot", c.plot});
    }
    printTable("Check", rows);
    return r.check.ok() ? 0 : kExitError;
}

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("FILE", a.file, "G-code part program")->required()->check(CLI::ExistingFile);
    sub.add_flag("--block-delete", a.program.blockDelete, "Skip the lines that start with '/'");
}

}  // namespace

const Command kCheckCommand = {
    "check",
    "Check a G-code program without a controller: problems, machine time, feed bound and the "
    "run check of every 1 ms target",
    {kMachineOption | kPlotOption},
    options,
    run};

}  // namespace telvo::tool
