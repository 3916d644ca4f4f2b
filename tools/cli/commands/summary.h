// The one summary printer: a titled table of key/value rows, and the rows
// the commands that run the machine share.
#pragma once

#include <string>
#include <vector>

#include "files/machine.h"
#include "engine/session.h"

namespace telvo::tool {

struct Row {
    std::string key, value;
};

void printTable(const std::string& title, const std::vector<Row>& rows);

// Rows of a stream: segments sent and executed, blocks, buffer levels,
// the final position against the program's end point.
void addStreamRows(std::vector<Row>& rows, const Machine& m, const StreamStats& s, int bufferSize);
// The simulated controller's protocol errors (the first five texts).
void addErrorRows(std::vector<Row>& rows, Session& session);
// Where a probing move triggered, or how it ended.
std::string probeText(const Machine& m, const ProbeOutcome& p);

}  // namespace telvo::tool
