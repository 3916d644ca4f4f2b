// Trace files: every packet, block and status record of a run, timestamped.
// The file format only; decode.h prints the records.
//
// Format (all little-endian):
//   header, 16 bytes: "TLVTRACE", u16 version (1), u16 clock (0 host clock,
//   1 simulated controller clock), u32 reserved (0)
//   records, back to back: u8 kind, u8 flags, u16 length, i64 time in
//   microseconds, then `length` bytes of data
// Kinds: 1 command packet written on pipe 0x01 (header and payload as sent),
// 2 motion block written on pipe 0x02, 3 status record (the 62-byte
// MachineStatus the library filled), 4 note (UTF-8 text: the tool's calls
// and phases), 5 motion segment given to telvo_BufAdd (54 bytes; recorded
// when the packets themselves cannot be seen, i.e. with a real controller).
// Flags: bit 0 the write failed, bit 1 the write went to the second device.
#pragma once

#include <telvo/telvo.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/common.h"
#include "telvo_wire.h"

namespace telvo::tool {

// Step counters in a status record: the six axes and a seventh.
constexpr int kStatusCounters = kAxisCount + 1;

enum class TraceKind : uint8_t { Command = 1, Block = 2, Status = 3, Note = 4, Segment = 5 };
enum class TraceClock : uint16_t { Host = 0, Simulated = 1 };

constexpr uint8_t kTraceWriteFailed = 0x01;
constexpr uint8_t kTraceSecondDevice = 0x02;
constexpr size_t kTraceHeaderSize = 16;
constexpr size_t kTraceRecordHeaderSize = 12;
constexpr size_t kStatusRecordSize = 62;
constexpr size_t kSegmentRecordSize = 54;
// A block record is a run of wire segments of this size.
constexpr size_t kWireSegmentSize = tsim::kSegmentBytes;
constexpr uint16_t kTraceVersion = 1;
constexpr uint8_t kTraceKinds = 5;  // kinds are 1..kTraceKinds

// The status record with naturally aligned fields. The library's record is
// packed, so its fields must not be bound to references (formatting,
// std::max); the tool works on this copy instead.
struct StatusFields {
    uint8_t length = 0, state = 0, event = 0, flags = 0;
    uint16_t deviceWord0 = 0, deviceWord1 = 0;
    std::array<int32_t, kStatusCounters> position{};
    float spindleRpm = 0.0f;
    uint16_t bufferLevel = 0;
    uint32_t deviceInt0 = 0, deviceInt1 = 0, deviceInt2 = 0;
    uint8_t deviceByte = 0, eventAxis = 0;
    int32_t segmentTag = 0;
    uint16_t deviceWord2 = 0;
};
StatusFields fieldsOf(const MachineStatus& record);

struct TraceRecord {
    TraceKind kind = TraceKind::Note;
    uint8_t flags = 0;
    int64_t timeUs = 0;
    std::vector<uint8_t> data;
};

struct TraceFile {
    TraceClock clock = TraceClock::Host;
    std::vector<TraceRecord> records;
};

// Writes records as they come; a failed write is reported once by ok().
class TraceWriter {
public:
    TraceWriter() = default;
    ~TraceWriter();
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    // Creates the file; throws ToolError when it cannot.
    void open(const std::string& path, TraceClock clock);
    bool isOpen() const { return file_ != nullptr; }
    void add(TraceKind kind, uint8_t flags, int64_t timeUs, const uint8_t* data, size_t size);
    void note(int64_t timeUs, std::string_view text);
    void status(int64_t timeUs, const MachineStatus& record);
    void segment(int64_t timeUs, const MotionSegment& segment);
    // Flushes and closes; throws ToolError when anything could not be written.
    void close();

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    bool failed_ = false;
};

// Parses a whole trace; throws ToolError naming the byte offset of a problem.
TraceFile parseTrace(const std::vector<uint8_t>& bytes);
TraceFile readTraceFile(const std::string& path);

// Field-by-field packing of the library's records (little-endian, packed).
void encodeStatus(const MachineStatus& record, uint8_t out[kStatusRecordSize]);
MachineStatus decodeStatus(const uint8_t in[kStatusRecordSize]);
void encodeSegment(const MotionSegment& segment, uint8_t out[kSegmentRecordSize]);
MotionSegment decodeSegment(const uint8_t in[kSegmentRecordSize]);

}  // namespace telvo::tool
