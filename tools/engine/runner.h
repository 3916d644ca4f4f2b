// Running a part program: the check before any controller is opened, then
// interpretation from where the machine stands, the travel check, planning,
// and the run itself with its direct commands (spindle, coolant) between the
// stretches of motion, and the check of what was executed.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "plan/checker.h"
#include "gcode/interpreter.h"
#include "files/machine.h"
#include "plan/planner.h"
#include "engine/session.h"
#include "files/targetdump.h"

namespace telvo::tool {

struct RunOptions {
    bool blockDelete = false;        // skip lines starting with '/'
    bool stopAtPause = false;        // M0/M1 end the run instead of being logged
    bool pauseAtToolChange = false;  // wait for Enter at M6
    std::FILE* log = stdout;         // messages, actions, estimate
    // The reports' times are the controller's own, 1 ms apart (the stepped
    // simulated clock): their velocity is checked too.
    bool exactTimes = false;
    TargetDump* targets = nullptr;  // --targets: every target streamed, with its line
};

struct ProgramRun {
    Interpreted program;
    size_t moves = 0;  // the program's rapids, feed moves and arcs
    Plan plan;
    CheckReport check;
    StreamStats stats;               // over all stretches of motion
    double controllerSeconds = 0.0;  // from the first motion to the end
    double wallSeconds = 0.0;
    std::string stoppedAt;  // set when M0/M1 stopped the run
};

// Reads the whole program without a controller, from `start` (machine
// coordinates). Position-independent problems end up in errors.
Interpreted checkProgram(std::string_view text, const Machine& machine, const RunOptions& options,
                         const Vec6& start);

// Runs a program on an open, configured session from the controller's
// position. Throws ToolError for problems found before motion (travel);
// on any failure the spindle and coolant are switched off before the error
// goes on.
// `checked` is the program as checkProgram read it from `checkedStart`;
// when the machine stands there, it is used as it is instead of read again.
ProgramRun runProgram(Session& session, const Machine& machine, std::string_view text,
                      const std::string& file, const RunOptions& options,
                      Interpreted* checked = nullptr, const Vec6& checkedStart = {});

}  // namespace telvo::tool
