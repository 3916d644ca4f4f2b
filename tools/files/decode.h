// The protocol decoder: command packets, motion blocks, status and segment
// records, and whole trace files as text, with command names and fields.
// Command codes, names and payload sizes come from the controller's one
// command table (sim_wire.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "files/trace.h"

namespace telvo::tool {

// Text of command packets, blocks and records. `brief` prints one line per
// block instead of one per wire segment.
std::string commandName(uint8_t code);
std::vector<std::string> decodeCommand(const uint8_t* data, size_t size);
std::vector<std::string> decodeBlock(const uint8_t* data, size_t size, bool brief);
std::string decodeStatusRecord(const uint8_t* data, size_t size);
std::vector<std::string> decodeRecord(const TraceRecord& record, bool brief);
// The whole file as printed by `telvo decode`.
std::string decodeTrace(const TraceFile& trace, bool brief);

}  // namespace telvo::tool
