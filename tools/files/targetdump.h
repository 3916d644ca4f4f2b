// `telvo run --targets FILE`: every 1 ms target a G-code run sends, as text,
// with the program line it belongs to, so that a run can be compared with
// another reading of the same program (tests/conformance/).
//
// Format, version 1 (tools/README.md):
//   # telvo-targets 1
//   # units mm
//   # steps_per_unit x=800 y=800 z=1600
//   # start x=0 y=0 z=0
//   line x y z
//   12 800 0 0
//   ...
// One row per target in the order sent: the program line, then the target of
// each configured axis in steps, exactly as given to telvo_BufAdd (shortest
// text that reads back as the same double). The start is where the
// controller stood when the program began.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/common.h"
#include "files/machine.h"
#include "plan/lookahead.h"
#include "plan/planner.h"

namespace telvo::tool {

class TargetDump {
public:
    // Creates the file; throws ToolError when it cannot.
    TargetDump(const std::string& path, const Machine& machine);
    ~TargetDump();
    TargetDump(const TargetDump&) = delete;
    TargetDump& operator=(const TargetDump&) = delete;

    // The header, once the run knows where it starts (steps).
    void begin(const Vec6& startSteps);
    // The targets of one stretch after it was streamed: `targets` are the
    // plan's targets from index `first` on. A target carries the line of the
    // path piece it runs along (a dwell after a move, that move's).
    void rows(const Plan& plan, const std::vector<Vec6>& targets, size_t first);
    // One target as the engine sends it.
    void row(const Sample& s);
    // Flushes and closes; throws ToolError when anything could not be written.
    void close();

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    const Machine& machine_;
    bool failed_ = false;
};

}  // namespace telvo::tool
