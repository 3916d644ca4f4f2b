// Fuzz target: the host tool's G-code interpreter and, for programs it
// accepts, the planner and the checker, on the built-in machine.
//
// Input: a part program. Properties: nothing escapes as an exception (every
// refusal is a diagnostic with its line); an accepted, planned program keeps
// every axis's velocity and acceleration limits and every move's feed, stays
// within the tolerances of the program's path (measured from its operations,
// not the planner's pieces) and ends on its last point.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "plan/checker.h"
#include "gcode/interpreter.h"
#include "files/machine.h"
#include "plan/planner.h"

using namespace telvo::tool;

namespace {

[[noreturn]] void violated(const char* what, const std::string& detail) {
    std::fprintf(stderr, "property violated: %s: %s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Machine machine = defaultMachine();
    static const GcodeSetup setup = machine.gcodeSetup();
    // Small bounds keep each input quick: an input that expands to more
    // operations than this (cycles repeat with L) is not planned.
    constexpr size_t kMostOps = 20000;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Interpreted program;
    GcodeInterpreter reader(setup, Vec6{});
    Op op;
    size_t at = 0;
    while (at < text.size() && !reader.done()) {
        size_t nl = text.find('\n', at);
        reader.line(text.substr(at, nl == std::string_view::npos ? std::string_view::npos : nl - at));
        at = nl == std::string_view::npos ? text.size() : nl + 1;
        while (reader.pop(op)) program.ops.push_back(std::move(op));
        if (program.ops.size() > kMostOps) return 0;
    }
    reader.finish();
    while (reader.pop(op)) program.ops.push_back(std::move(op));
    program.errors = reader.errors();
    if (!program.errors.empty()) program.ops.clear();
    for (const Diagnostic& d : program.errors) {
        if (d.line < 1 || d.message.empty())
            violated("diagnostic without line or message", d.message);
    }
    if (!program.ok()) return 0;
    PlanSettings settings = machine.planSettings();
    settings.maxSeconds = 30.0;
    settings.maxPieces = 20000;
    Plan plan = planProgram(program, settings, Vec6{});
    if (!plan.errors.empty()) return 0;
    CheckReport report = checkPlan(program, plan, checkSettings(settings));
    if (report.ok()) return 0;
    violated("check",
             report.summary() + (report.problems.empty() ? "" : "; " + report.problems.front()));
    return 0;
}
