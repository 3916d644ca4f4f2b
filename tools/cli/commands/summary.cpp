// The summary printer.
#include "cli/commands/summary.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli/commands/command.h"

namespace telvo::tool {
namespace {

constexpr size_t kErrorTextsShown = 5;

std::array<long long, kAxisCount> toLongs(const std::array<int32_t, kAxisCount>& v) {
    std::array<long long, kAxisCount> out{};
    for (int a = 0; a < kAxisCount; ++a) out[a] = v[a];
    return out;
}

}  // namespace

void printTable(const std::string& title, const std::vector<Row>& rows) {
    size_t width = 0;
    for (const Row& r : rows) width = std::max(width, r.key.size());
    fmt::print("\n{}\n", title);
    for (const Row& r : rows) fmt::print("  {:<{}}  {}\n", r.key, width, r.value);
    (void)std::fflush(stdout);
}

void addStreamRows(std::vector<Row>& rows, const Machine& m, const StreamStats& s, int bufferSize) {
    rows.push_back({"segments sent", fmt::format("{} of {}", s.sent, s.segments)});
    rows.push_back({"segments executed", fmt::format("{}", s.executed)});
    rows.push_back({"motion blocks", fmt::format("{}", s.blocks)});
    std::string lowest = s.lowestLevel < 0 ? std::string("lowest - (never filled)")
                                           : fmt::format("lowest {} once filled", s.lowestLevel);
    rows.push_back(
        {"buffer level",
         fmt::format("{}, highest {}, of {}{}", lowest, s.highestLevel, bufferSize,
                     s.underruns ? fmt::format(" ({} frames ran empty)", s.underruns) : "")});
    rows.push_back({"final position", stepsText(m, toLongs(s.finalPosition)) + " steps"});
    rows.push_back({"program end point", stepsText(m, s.expectedEnd) + " steps"});
    rows.push_back({"end point reached", s.endReached ? "yes" : "NO"});
}

void addErrorRows(std::vector<Row>& rows, Session& session) {
    if (!session.simulated()) {
        rows.push_back({"protocol errors", "not available (real controller)"});
        return;
    }
    std::vector<std::string> errors = session.protocolErrors();
    rows.push_back({"protocol errors", fmt::format("{}", errors.size())});
    for (size_t i = 0; i < errors.size() && i < kErrorTextsShown; ++i)
        rows.push_back({"", errors[i]});
}

std::string probeText(const Machine& m, const ProbeOutcome& p) {
    if (p.triggered) {
        std::array<long long, kAxisCount> steps{};
        for (int a = 0; a < kAxisCount; ++a) steps[a] = std::llround(p.position[a]);
        return fmt::format("triggered at {} ({} steps)", unitsText(m, p.position),
                           stepsText(m, steps));
    }
    if (p.result == kProbeEndedUntriggered) return "ended without a trigger";
    return fmt::format("result {}", p.result);
}

}  // namespace telvo::tool
