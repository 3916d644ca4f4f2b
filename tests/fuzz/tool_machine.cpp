// Fuzz target: the host tool's machine-file reader.
//
// Input: a machine file (TOML). Properties: a wrong file is refused with one
// ToolError naming the file and a line ("fuzz:LINE: ..."), never another
// exception; an accepted file gives a machine whose settings the
// interpreter and planner can use (positive steps per unit and limits).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "files/machine.h"

using namespace telvo::tool;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        Machine m = loadMachine(text, "fuzz");
        for (int a = 0; a < kAxisCount; ++a) {
            const AxisSettings& s = m.axes[a];
            if (s.configured && (s.stepsPerUnit < 1 || s.maxVelocity < 1 || s.acceleration < 1)) {
                std::fprintf(stderr, "property violated: axis %d accepted with a zero limit\n", a);
                std::abort();
            }
        }
        PlanSettings p = m.planSettings();
        GcodeSetup g = m.gcodeSetup();
        if (!(p.chordTolerance > 0.0) || !(g.blendTolerance > 0.0)) {
            std::fprintf(stderr, "property violated: tolerances not above 0\n");
            std::abort();
        }
    } catch (const ToolError& e) {
        std::string what = e.what();
        if (what.rfind("fuzz:", 0) != 0) {
            std::fprintf(stderr, "property violated: refusal without the file and line: %s\n",
                         what.c_str());
            std::abort();
        }
    }
    return 0;
}
