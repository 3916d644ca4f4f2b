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

#include "host/checker.h"
#include "host/interp.h"
#include "host/machine.h"
#include "host/planner.h"

using namespace telvo::tool;

namespace {

[[noreturn]] void violated(const char* what, const std::string& detail) {
    std::fprintf(stderr, "property violated: %s: %s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Machine machine = defaultMachine();
    // Small bounds keep each input quick; the refusals themselves are tested.
    static const GcodeSetup setup = [] {
        GcodeSetup s = machine.gcodeSetup();
        s.maxOps = 20000;
        return s;
    }();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Interpreted program = interpret(text, setup, Vec6{});
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
