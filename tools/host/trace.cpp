// Trace writer, reader and decoder.
#include "trace.h"

#include <fmt/format.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "common.h"

namespace telvo::tool {
namespace {

constexpr char kMagic[8] = {'T', 'L', 'V', 'T', 'R', 'A', 'C', 'E'};
constexpr uint16_t kVersion = 1;
constexpr uint8_t kMaxKind = 5;

// Wire scales: velocities carry 12 fractional bits; accelerations travel as
// steps/s^2 times 0.016384; wire phases count 1/250e6 step, travel 1e-6 step.
constexpr double kVelocityScale = 4096.0;
constexpr double kAccelScale = 0.016384;
constexpr double kPhaseScale = 250e6;
constexpr double kTravelScale = 1e6;
constexpr double kMpgScale = 10000.0;

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
int32_t geti32(const uint8_t* p) { return static_cast<int32_t>(get32(p)); }
uint64_t get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}
void putF64(uint8_t* p, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put64(p, bits);
}
double getF64(const uint8_t* p) {
    uint64_t bits = get64(p);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
float getF32(const uint8_t* p) {
    uint32_t bits = get32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::string velocity(int32_t wire) {
    if (wire % 4096 == 0) return fmt::format("{} steps/s", wire / 4096);
    return fmt::format("{:.4f} steps/s", wire / kVelocityScale);
}

std::string hexBytes(const uint8_t* data, size_t size) {
    std::string s;
    for (size_t i = 0; i < size; ++i) s += fmt::format("{}{:02X}", i ? " " : "", data[i]);
    return s;
}

std::string axisName(int index) {
    if (index >= 0 && index < kAxisCount) return std::string(1, kAxisLetters[index]);
    return fmt::format("#{}", index);
}

void decodeAxisConfig(const uint8_t* p, std::vector<std::string>& out) {
    constexpr size_t kRecord = 34;
    for (int k = 0; k < 7; ++k) {
        const uint8_t* r = p + kRecord * static_cast<size_t>(k);
        int32_t spu = geti32(r), vel = geti32(r + 4), acc = geti32(r + 8);
        int32_t p1 = geti32(r + 12), p2 = geti32(r + 16), zero = geti32(r + 20);
        uint8_t slave = r[24];
        int32_t aux = geti32(r + 25), p3 = geti32(r + 29);
        uint8_t p4 = r[33];
        std::string name = k < kAxisCount ? std::string(1, kAxisLetters[k]) : std::string("7th");
        std::string slaveText = slave == 0 ? "-" : (slave <= 6 ? axisName(slave - 1) : fmt::format("?{}", slave));
        out.push_back(fmt::format(
            "  axis {:>3}: {} steps/unit, max velocity {}, acceleration {} (~{:.0f} steps/s^2), slave of {}, "
            "aux velocity {}, params {} {} {} {}{}",
            name, spu, velocity(vel), acc, acc / kAccelScale, slaveText, velocity(aux), p1, p2, p3, p4,
            zero ? fmt::format(", byte 20 = {} (expected 0)", zero) : ""));
    }
    const uint8_t* t = p;
    out.push_back(fmt::format(
        "  machine: param1 {} param2 {} param3 {} param4 {} param5 {} param6 {} switch1 {} switch2 {}; "
        "constants {} {} {}{}",
        t[239], geti32(t + 240), geti32(t + 244), geti32(t + 248), t[253], t[256], t[261], t[259], get16(t + 254),
        get16(t + 257), t[260], (t[238] || t[252]) ? " (bytes 238/252 not 0)" : ""));
}

void decodeIoConfig(const uint8_t* p, std::vector<std::string>& out) {
    for (int bank = 0; bank < 2; ++bank) {
        const uint8_t* pins = p + 32 * bank;
        uint32_t flag0 = get32(p + 64 + 4 * bank), flag1 = get32(p + 72 + 4 * bank);
        std::string slots;
        for (int s = 0; s < 32; ++s) {
            uint32_t bit = uint32_t{1} << s;
            if (pins[s] == 0 && !(flag0 & bit) && !(flag1 & bit)) continue;
            slots += fmt::format(" {}:{}{}{}", s, pins[s], (flag0 & bit) ? "+f0" : "", (flag1 & bit) ? "+f1" : "");
        }
        out.push_back(fmt::format("  {} bank:{}", bank == 0 ? "low" : "high", slots.empty() ? " (empty)" : slots));
    }
    std::string values;
    for (int i = 0; i < 16; ++i) values += fmt::format(" {}", get16(p + 80 + 2 * i));
    out.push_back("  io values:" + values);
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
    for (int i = 0; i < 7; ++i) f.position[static_cast<size_t>(i)] = r.position[i];
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
    put16(out + 4, r.deviceWord0);
    put16(out + 6, r.deviceWord1);
    for (int i = 0; i < 7; ++i) put32(out + 8 + 4 * i, static_cast<uint32_t>(r.position[i]));
    float rpm = r.spindleRpm;
    uint32_t bits;
    std::memcpy(&bits, &rpm, sizeof bits);
    put32(out + 36, bits);
    put16(out + 40, r.bufferLevel);
    put32(out + 42, r.deviceInt0);
    put32(out + 46, r.deviceInt1);
    put32(out + 50, r.deviceInt2);
    out[54] = r.deviceByte;
    out[55] = r.eventAxis;
    put32(out + 56, static_cast<uint32_t>(r.segmentTag));
    put16(out + 60, r.deviceWord2);
}

MachineStatus decodeStatus(const uint8_t in[kStatusRecordSize]) {
    MachineStatus r{};
    r.length = in[0];
    r.state = in[1];
    r.event = in[2];
    r.flags = in[3];
    r.deviceWord0 = get16(in + 4);
    r.deviceWord1 = get16(in + 6);
    for (int i = 0; i < 7; ++i) r.position[i] = geti32(in + 8 + 4 * i);
    r.spindleRpm = getF32(in + 36);
    r.bufferLevel = get16(in + 40);
    r.deviceInt0 = get32(in + 42);
    r.deviceInt1 = get32(in + 46);
    r.deviceInt2 = get32(in + 50);
    r.deviceByte = in[54];
    r.eventAxis = in[55];
    r.segmentTag = geti32(in + 56);
    r.deviceWord2 = get16(in + 60);
    return r;
}

void encodeSegment(const MotionSegment& s, uint8_t out[kSegmentRecordSize]) {
    for (int i = 0; i < kAxisCount; ++i) putF64(out + 8 * i, s.target[i]);
    put32(out + 48, static_cast<uint32_t>(s.tag));
    out[52] = s.segmentCode;
    out[53] = s.segmentAux;
}

MotionSegment decodeSegment(const uint8_t in[kSegmentRecordSize]) {
    MotionSegment s{};
    for (int i = 0; i < kAxisCount; ++i) s.target[i] = getF64(in + 8 * i);
    s.tag = geti32(in + 48);
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
    put16(header + 8, kVersion);
    put16(header + 10, static_cast<uint16_t>(clock));
    if (std::fwrite(header, 1, sizeof header, file_) != sizeof header) failed_ = true;
}

void TraceWriter::add(TraceKind kind, uint8_t flags, int64_t timeUs, const uint8_t* data, size_t size) {
    if (!file_) return;
    if (size > 0xFFFF) size = 0xFFFF;  // never reached: blocks are at most 3900 bytes
    uint8_t header[kTraceRecordHeaderSize];
    header[0] = static_cast<uint8_t>(kind);
    header[1] = flags;
    put16(header + 2, static_cast<uint32_t>(size));
    put64(header + 4, static_cast<uint64_t>(timeUs));
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
    uint16_t version = get16(bytes.data() + 8);
    if (version != kVersion) throw ToolError(fmt::format("trace version {} is not supported (this tool reads {})", version, kVersion));
    TraceFile trace;
    uint16_t clock = get16(bytes.data() + 10);
    if (clock > 1) throw ToolError(fmt::format("trace header names an unknown clock {}", clock));
    trace.clock = static_cast<TraceClock>(clock);
    size_t pos = kTraceHeaderSize;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < kTraceRecordHeaderSize) {
            throw ToolError(fmt::format("trace is cut off at byte {} (record header incomplete)", pos));
        }
        const uint8_t* h = bytes.data() + pos;
        TraceRecord r;
        if (h[0] == 0 || h[0] > kMaxKind) throw ToolError(fmt::format("unknown record kind {} at byte {}", h[0], pos));
        r.kind = static_cast<TraceKind>(h[0]);
        r.flags = h[1];
        size_t length = get16(h + 2);
        r.timeUs = static_cast<int64_t>(get64(h + 4));
        if (bytes.size() - pos - kTraceRecordHeaderSize < length) {
            throw ToolError(fmt::format("trace is cut off at byte {} (record of {} bytes incomplete)", pos, length));
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
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parseTrace(bytes);
}

// ---- decoder -------------------------------------------------------------

std::string commandName(uint8_t code) {
    switch (code) {
    case 2: return "JOG_ON";
    case 3: return "JOG_OFF";
    case 4: return "PROBE";
    case 5: return "HOME";
    case 6: return "SET_OUTPUTS";
    case 7: return "SPINDLE";
    case 9: return "AXIS_CONFIG";
    case 11: return "IO_CONFIG";
    case 12: return "PURGE";
    case 13: return "PURGE_END_OF_MOVE";
    case 14: return "STOP";
    case 17: return "MPG";
    default: return fmt::format("UNKNOWN_{}", code);
    }
}

std::vector<std::string> decodeCommand(const uint8_t* data, size_t size) {
    std::vector<std::string> out;
    if (size < 4) {
        out.push_back(fmt::format("short packet of {} bytes: {}", size, hexBytes(data, size)));
        return out;
    }
    uint8_t code = data[0];
    size_t length = get16(data + 2);
    const uint8_t* p = data + 4;
    size_t have = size - 4;
    std::string problems;
    if (data[1] != static_cast<uint8_t>(~code)) problems += fmt::format(" [bad complement 0x{:02X}]", data[1]);
    if (length != have) problems += fmt::format(" [length field {} but {} payload bytes]", length, have);

    // Expected payload sizes; a mismatch is shown and the payload dumped.
    size_t expected = 0;
    switch (code) {
    case 2: expected = 6; break;
    case 3: expected = 1; break;
    case 4: expected = 48; break;
    case 5: expected = 2; break;
    case 6: expected = 8; break;
    case 7: expected = 10; break;
    case 9: expected = 262; break;
    case 11: expected = 112; break;
    case 12: expected = 4; break;
    case 13: expected = 0; break;
    case 14: expected = 1; break;
    case 17: expected = 11; break;
    default: expected = have; break;
    }
    std::string head = fmt::format("{} ({})", commandName(code), code);
    if (have != expected) {
        out.push_back(fmt::format("{} payload {} bytes, expected {}{}: {}", head, have, expected, problems, hexBytes(p, have)));
        return out;
    }
    switch (code) {
    case 2: {
        const char* dir = p[1] == 1 ? "forward" : (p[1] == 255 ? "reverse" : "direction?");
        out.push_back(fmt::format("{} axis {} {} at {}{}", head, axisName(p[0]), dir, velocity(geti32(p + 2)), problems));
        break;
    }
    case 3: out.push_back(fmt::format("{} axis {}{}", head, axisName(p[0]), problems)); break;
    case 4: {
        std::string figures;
        for (int i = 0; i < kAxisCount; ++i) figures += fmt::format(" {}={}", kAxisLetters[i], geti32(p + 4 * i));
        bool reservedZero = true;
        for (int i = 24; i < 48; ++i) reservedZero = reservedZero && p[i] == 0;
        out.push_back(fmt::format("{} acceleration figures{}{}{}", head, figures, reservedZero ? "" : " [reserved half not 0]", problems));
        break;
    }
    case 5: out.push_back(fmt::format("{} axis {}{}{}", head, axisName(p[0]), p[1] ? fmt::format(" byte1 {}", p[1]) : "", problems)); break;
    case 6:
        out.push_back(fmt::format("{} outputs 0x{:04X} word1 0x{:04X} word2 0x{:04X}{}{}", head, get16(p), get16(p + 6),
                                  get16(p + 4), get16(p + 2) ? " [bytes 2-3 not 0]" : "", problems));
        break;
    case 7:
        out.push_back(fmt::format("{} mode {} value {} speed {} byte9 {}{}", head, p[0], get32(p + 1), velocity(geti32(p + 5)), p[9], problems));
        break;
    case 9:
        out.push_back(fmt::format("{} 262 bytes{}", head, problems));
        decodeAxisConfig(p, out);
        break;
    case 11:
        out.push_back(fmt::format("{} 112 bytes{}", head, problems));
        decodeIoConfig(p, out);
        break;
    case 12: out.push_back(fmt::format("{} argument {}{}", head, geti32(p), problems)); break;
    case 13: out.push_back(head + problems); break;
    case 14: out.push_back(fmt::format("{} mode {}{}", head, p[0], problems)); break;
    case 17:
        out.push_back(fmt::format("{} axis {} scale {} speed {} {}{}", head, axisName(p[0]), geti32(p + 1) / kMpgScale,
                                  velocity(geti32(p + 5)), get16(p + 9) ? "enabled" : "disabled", problems));
        break;
    default: out.push_back(fmt::format("{} {} bytes{}: {}", head, have, problems, hexBytes(p, have))); break;
    }
    return out;
}

std::vector<std::string> decodeBlock(const uint8_t* data, size_t size, bool brief) {
    std::vector<std::string> out;
    size_t n = size / kWireSegmentSize;
    size_t rest = size % kWireSegmentSize;
    std::string head = fmt::format("BLOCK {} segments", n);
    if (n) head += fmt::format(", slots {}..{}", get16(data + 48), get16(data + (n - 1) * kWireSegmentSize + 48));
    if (rest) head += fmt::format(" [{} trailing bytes]", rest);
    if (brief) {
        double travel[kAxisCount] = {};
        for (size_t k = 0; k < n; ++k) {
            for (int a = 0; a < kAxisCount; ++a) travel[a] += geti32(data + k * kWireSegmentSize + 8 * static_cast<size_t>(a) + 4) / kTravelScale;
        }
        head += ", travel";
        for (int a = 0; a < kAxisCount; ++a) head += fmt::format(" {} {:+.3f}", kAxisLetters[a], travel[a]);
        out.push_back(head);
        return out;
    }
    out.push_back(head);
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* s = data + k * kWireSegmentSize;
        std::string line = fmt::format("  slot {:4} code 0x{:02X} aux 0x{:02X} |", get16(s + 48), s[50], s[51]);
        for (int a = 0; a < kAxisCount; ++a) {
            int32_t phase = geti32(s + 8 * a), travel = geti32(s + 8 * a + 4);
            line += fmt::format(" {} {:+.6f}@{:.6f}", kAxisLetters[a], travel / kTravelScale, phase / kPhaseScale);
            if (phase % 250 != 0 || phase < 0 || phase >= 250'000'000) line += "[bad phase]";
        }
        out.push_back(line);
    }
    return out;
}

std::string decodeStatusRecord(const uint8_t* data, size_t size) {
    if (size != kStatusRecordSize) return fmt::format("STATUS record of {} bytes (expected 62): {}", size, hexBytes(data, size));
    StatusFields r = fieldsOf(decodeStatus(data));
    std::string s = fmt::format("STATUS state {} event {} flags 0x{:02X} pos", r.state, r.event, r.flags);
    for (size_t i = 0; i < kAxisCount; ++i) s += fmt::format(" {} {}", kAxisLetters[i], r.position[i]);
    s += fmt::format(" | buffer {} tag {} rpm {:.1f}", r.bufferLevel, r.segmentTag, r.spindleRpm);
    if (r.eventAxis) s += fmt::format(" eventAxis 0x{:02X}", r.eventAxis);
    if (r.position[6]) s += fmt::format(" pos7 {}", r.position[6]);
    if (r.deviceWord0 || r.deviceWord1 || r.deviceWord2 || r.deviceInt0 || r.deviceInt1 || r.deviceInt2 || r.deviceByte) {
        s += fmt::format(" device {} {} {} {} {} {} {}", r.deviceWord0, r.deviceWord1, r.deviceInt0, r.deviceInt1,
                         r.deviceInt2, r.deviceByte, r.deviceWord2);
    }
    if (r.length != kStatusRecordSize) s += fmt::format(" [length {}]", r.length);
    return s;
}

std::vector<std::string> decodeRecord(const TraceRecord& record, bool brief) {
    const uint8_t* d = record.data.data();
    size_t n = record.data.size();
    std::vector<std::string> lines;
    switch (record.kind) {
    case TraceKind::Command: lines = decodeCommand(d, n); break;
    case TraceKind::Block: lines = decodeBlock(d, n, brief); break;
    case TraceKind::Status: lines.push_back(decodeStatusRecord(d, n)); break;
    case TraceKind::Note: lines.push_back("NOTE " + std::string(reinterpret_cast<const char*>(d), n)); break;
    case TraceKind::Segment:
        if (n != kSegmentRecordSize) {
            lines.push_back(fmt::format("SEGMENT record of {} bytes (expected 54)", n));
        } else {
            // Copies: fields of the packed record cannot be passed by reference.
            MotionSegment s = decodeSegment(d);
            int32_t tag = s.tag;
            unsigned code = s.segmentCode, aux = s.segmentAux;
            std::string line = fmt::format("SEGMENT tag {} code 0x{:02X} aux 0x{:02X} target", tag, code, aux);
            for (int a = 0; a < kAxisCount; ++a) {
                double target = s.target[a];
                line += fmt::format(" {} {:.6f}", kAxisLetters[a], target);
            }
            lines.push_back(line);
        }
        break;
    }
    if (record.flags & kTraceWriteFailed) lines.front() += " [write failed]";
    if (record.flags & kTraceSecondDevice) lines.front() += " [device 1]";
    return lines;
}

std::string decodeTrace(const TraceFile& trace, bool brief) {
    std::string out = fmt::format("telvo trace, version {}, times from the {}\n", kVersion,
                                  trace.clock == TraceClock::Simulated ? "simulated controller's clock" : "host clock");
    size_t counts[kMaxKind + 1] = {};
    for (const TraceRecord& r : trace.records) {
        ++counts[static_cast<size_t>(r.kind)];
        std::vector<std::string> lines = decodeRecord(r, brief);
        std::string stamp = fmt::format("{:>12.3f} ms  ", static_cast<double>(r.timeUs) / 1000.0);
        for (size_t i = 0; i < lines.size(); ++i) {
            out += (i == 0 ? stamp : std::string(stamp.size(), ' ')) + lines[i] + "\n";
        }
    }
    out += fmt::format("{} records: {} commands, {} blocks, {} status records, {} notes, {} segments\n", trace.records.size(),
                       counts[1], counts[2], counts[3], counts[4], counts[5]);
    return out;
}

}  // namespace telvo::tool
