// Trace files: writer, reader and the packing of the records they hold.
#include "files/trace.h"

#include <fmt/format.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "core/common.h"
#include "telvo_wire.h"

namespace telvo::tool {
namespace {

using tsim::getI32;
using tsim::getU16;
using tsim::getU32;
using tsim::getU64;
using tsim::putU16;
using tsim::putU32;
using tsim::putU64;

constexpr char kMagic[8] = {'T', 'L', 'V', 'T', 'R', 'A', 'C', 'E'};

// IEEE doubles and floats travel as their bits, little-endian.
void putF64(uint8_t* p, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putU64(p, bits);
}
double getF64(const uint8_t* p) {
    uint64_t bits = getU64(p);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
float getF32(const uint8_t* p) {
    uint32_t bits = getU32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace

// ---- records -------------------------------------------------------------

StatusFields fieldsOf(const MachineStatus& r) {
    StatusFields f;
    f.length = r.length;
    f.state = r.state;
    f.event = r.event;
    f.flags = r.flags;
    f.deviceWord0 = r.deviceWord0;
    f.deviceWord1 = r.deviceWord1;
    for (int i = 0; i < kStatusCounters; ++i) f.position[static_cast<size_t>(i)] = r.position[i];
    f.spindleRpm = r.spindleRpm;
    f.bufferLevel = r.bufferLevel;
    f.deviceInt0 = r.deviceInt0;
    f.deviceInt1 = r.deviceInt1;
    f.deviceInt2 = r.deviceInt2;
    f.deviceByte = r.deviceByte;
    f.eventAxis = r.eventAxis;
    f.segmentTag = r.segmentTag;
    f.deviceWord2 = r.deviceWord2;
    return f;
}

void encodeStatus(const MachineStatus& r, uint8_t out[kStatusRecordSize]) {
    out[0] = r.length;
    out[1] = r.state;
    out[2] = r.event;
    out[3] = r.flags;
    putU16(out + 4, r.deviceWord0);
    putU16(out + 6, r.deviceWord1);
    for (int i = 0; i < kStatusCounters; ++i)
        putU32(out + 8 + 4 * i, static_cast<uint32_t>(r.position[i]));
    float rpm = r.spindleRpm;
    uint32_t bits;
    std::memcpy(&bits, &rpm, sizeof bits);
    putU32(out + 36, bits);
    putU16(out + 40, r.bufferLevel);
    putU32(out + 42, r.deviceInt0);
    putU32(out + 46, r.deviceInt1);
    putU32(out + 50, r.deviceInt2);
    out[54] = r.deviceByte;
    out[55] = r.eventAxis;
    putU32(out + 56, static_cast<uint32_t>(r.segmentTag));
    putU16(out + 60, r.deviceWord2);
}

MachineStatus decodeStatus(const uint8_t in[kStatusRecordSize]) {
    MachineStatus r{};
    r.length = in[0];
    r.state = in[1];
    r.event = in[2];
    r.flags = in[3];
    r.deviceWord0 = getU16(in + 4);
    r.deviceWord1 = getU16(in + 6);
    for (int i = 0; i < kStatusCounters; ++i) r.position[i] = getI32(in + 8 + 4 * i);
    r.spindleRpm = getF32(in + 36);
    r.bufferLevel = getU16(in + 40);
    r.deviceInt0 = getU32(in + 42);
    r.deviceInt1 = getU32(in + 46);
    r.deviceInt2 = getU32(in + 50);
    r.deviceByte = in[54];
    r.eventAxis = in[55];
    r.segmentTag = getI32(in + 56);
    r.deviceWord2 = getU16(in + 60);
    return r;
}

void encodeSegment(const MotionSegment& s, uint8_t out[kSegmentRecordSize]) {
    for (int i = 0; i < kAxisCount; ++i) putF64(out + 8 * i, s.target[i]);
    putU32(out + 48, static_cast<uint32_t>(s.tag));
    out[52] = s.segmentCode;
    out[53] = s.segmentAux;
}

MotionSegment decodeSegment(const uint8_t in[kSegmentRecordSize]) {
    MotionSegment s{};
    for (int i = 0; i < kAxisCount; ++i) s.target[i] = getF64(in + 8 * i);
    s.tag = getI32(in + 48);
    s.segmentCode = in[52];
    s.segmentAux = in[53];
    return s;
}

// ---- writer --------------------------------------------------------------

TraceWriter::~TraceWriter() {
    // Only reached when close() was not: the run already failed.
    if (file_) (void)std::fclose(file_);
}

void TraceWriter::open(const std::string& path, TraceClock clock) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) throw ToolError("cannot create trace file " + path);
    path_ = path;
    uint8_t header[kTraceHeaderSize] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    putU16(header + 8, kTraceVersion);
    putU16(header + 10, static_cast<uint16_t>(clock));
    if (std::fwrite(header, 1, sizeof header, file_) != sizeof header) failed_ = true;
}

void TraceWriter::add(TraceKind kind, uint8_t flags, int64_t timeUs, const uint8_t* data,
                      size_t size) {
    if (!file_) return;
    if (size > 0xFFFF) size = 0xFFFF;  // never reached: blocks are at most 3900 bytes
    uint8_t header[kTraceRecordHeaderSize];
    header[0] = static_cast<uint8_t>(kind);
    header[1] = flags;
    putU16(header + 2, static_cast<uint32_t>(size));
    putU64(header + 4, static_cast<uint64_t>(timeUs));
    if (std::fwrite(header, 1, sizeof header, file_) != sizeof header) failed_ = true;
    if (size && std::fwrite(data, 1, size, file_) != size) failed_ = true;
}

void TraceWriter::note(int64_t timeUs, std::string_view text) {
    add(TraceKind::Note, 0, timeUs, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void TraceWriter::status(int64_t timeUs, const MachineStatus& record) {
    uint8_t bytes[kStatusRecordSize];
    encodeStatus(record, bytes);
    add(TraceKind::Status, 0, timeUs, bytes, sizeof bytes);
}

void TraceWriter::segment(int64_t timeUs, const MotionSegment& s) {
    uint8_t bytes[kSegmentRecordSize];
    encodeSegment(s, bytes);
    add(TraceKind::Segment, 0, timeUs, bytes, sizeof bytes);
}

void TraceWriter::close() {
    if (!file_) return;
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    if (failed_) throw ToolError("could not write the whole trace file " + path_);
}

// ---- reader --------------------------------------------------------------

TraceFile parseTrace(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < kTraceHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        throw ToolError("not a telvo trace (no TLVTRACE header)");
    }
    uint16_t version = getU16(bytes.data() + 8);
    if (version != kTraceVersion)
        throw ToolError(fmt::format("trace version {} is not supported (this tool reads {})",
                                    version, kTraceVersion));
    TraceFile trace;
    uint16_t clock = getU16(bytes.data() + 10);
    if (clock > 1) throw ToolError(fmt::format("trace header names an unknown clock {}", clock));
    trace.clock = static_cast<TraceClock>(clock);
    size_t pos = kTraceHeaderSize;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < kTraceRecordHeaderSize) {
            throw ToolError(
                fmt::format("trace is cut off at byte {} (record header incomplete)", pos));
        }
        const uint8_t* h = bytes.data() + pos;
        TraceRecord r;
        if (h[0] == 0 || h[0] > kTraceKinds)
            throw ToolError(fmt::format("unknown record kind {} at byte {}", h[0], pos));
        r.kind = static_cast<TraceKind>(h[0]);
        r.flags = h[1];
        size_t length = getU16(h + 2);
        r.timeUs = static_cast<int64_t>(getU64(h + 4));
        if (bytes.size() - pos - kTraceRecordHeaderSize < length) {
            throw ToolError(fmt::format(
                "trace is cut off at byte {} (record of {} bytes incomplete)", pos, length));
        }
        r.data.assign(h + kTraceRecordHeaderSize, h + kTraceRecordHeaderSize + length);
        pos += kTraceRecordHeaderSize + length;
        trace.records.push_back(std::move(r));
    }
    return trace;
}

TraceFile readTraceFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError("cannot read trace file " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    return parseTrace(bytes);
}

}  // namespace telvo::tool
