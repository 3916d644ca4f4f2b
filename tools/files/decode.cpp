// The protocol decoder (see decode.h).
#include "files/decode.h"

#include <fmt/format.h>

#include "core/common.h"
#include "telvo_wire.h"

namespace telvo::tool {
namespace {

using tsim::getI32;
using tsim::getU16;
using tsim::getU32;

// Wire scales: velocities carry 12 fractional bits; accelerations travel as
// steps/s^2 times 0.016384; wire phases count 1/250e6 step, travel 1e-6 step.
constexpr double kVelocityScale = 4096.0;
constexpr double kAccelScale = 0.016384;
constexpr double kPhaseScale = 250e6;
constexpr double kTravelScale = 1e6;
constexpr double kMpgScale = 10000.0;

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
    constexpr int kAxisRecords = kAxisCount + 1;  // the six axes and a seventh
    for (int k = 0; k < kAxisRecords; ++k) {
        const uint8_t* r = p + kRecord * static_cast<size_t>(k);
        int32_t spu = getI32(r), vel = getI32(r + 4), acc = getI32(r + 8);
        int32_t p1 = getI32(r + 12), p2 = getI32(r + 16), zero = getI32(r + 20);
        uint8_t slave = r[24];
        int32_t aux = getI32(r + 25), p3 = getI32(r + 29);
        uint8_t p4 = r[33];
        std::string name = k < kAxisCount ? std::string(1, kAxisLetters[k]) : std::string("7th");
        std::string slaveText =
            slave == 0 ? "-"
                       : (slave <= kAxisCount ? axisName(slave - 1) : fmt::format("?{}", slave));
        out.push_back(fmt::format(
            "  axis {:>3}: {} steps/unit, max velocity {}, acceleration {} (~{:.0f} steps/s^2), "
            "slave of {}, "
            "aux velocity {}, params {} {} {} {}{}",
            name, spu, velocity(vel), acc, acc / kAccelScale, slaveText, velocity(aux), p1, p2, p3,
            p4, zero ? fmt::format(", byte 20 = {} (expected 0)", zero) : ""));
    }
    const uint8_t* t = p;
    out.push_back(
        fmt::format("  machine: param1 {} param2 {} param3 {} param4 {} param5 {} param6 {} "
                    "switch1 {} switch2 {}; "
                    "constants {} {} {}{}",
                    t[239], getI32(t + 240), getI32(t + 244), getI32(t + 248), t[253], t[256],
                    t[261], t[259], getU16(t + 254), getU16(t + 257), t[260],
                    (t[238] || t[252]) ? " (bytes 238/252 not 0)" : ""));
}

void decodeIoConfig(const uint8_t* p, std::vector<std::string>& out) {
    for (int bank = 0; bank < 2; ++bank) {
        const uint8_t* pins = p + 32 * bank;
        uint32_t flag0 = getU32(p + 64 + 4 * bank), flag1 = getU32(p + 72 + 4 * bank);
        std::string slots;
        for (int s = 0; s < 32; ++s) {
            uint32_t bit = uint32_t{1} << s;
            if (pins[s] == 0 && !(flag0 & bit) && !(flag1 & bit)) continue;
            slots += fmt::format(" {}:{}{}{}", s, pins[s], (flag0 & bit) ? "+f0" : "",
                                 (flag1 & bit) ? "+f1" : "");
        }
        out.push_back(fmt::format("  {} bank:{}", bank == 0 ? "low" : "high",
                                  slots.empty() ? " (empty)" : slots));
    }
    std::string values;
    for (int i = 0; i < 16; ++i) values += fmt::format(" {}", getU16(p + 80 + 2 * i));
    out.push_back("  io values:" + values);
}

}  // namespace

// ---- packets and records -------------------------------------------------------------

std::string commandName(uint8_t code) {
    const tsim::CommandInfo* info = tsim::commandInfo(code);
    return info != nullptr ? std::string(info->name) : fmt::format("UNKNOWN_{}", code);
}

std::vector<std::string> decodeCommand(const uint8_t* data, size_t size) {
    std::vector<std::string> out;
    if (size < tsim::kPacketHeaderBytes) {
        out.push_back(fmt::format("short packet of {} bytes: {}", size, hexBytes(data, size)));
        return out;
    }
    uint8_t code = data[0];
    size_t length = getU16(data + 2);
    const uint8_t* p = data + tsim::kPacketHeaderBytes;
    size_t have = size - tsim::kPacketHeaderBytes;
    std::string problems;
    if (data[1] != static_cast<uint8_t>(~code))
        problems += fmt::format(" [bad complement 0x{:02X}]", data[1]);
    if (length != have)
        problems += fmt::format(" [length field {} but {} payload bytes]", length, have);

    // Expected payload sizes; a mismatch is shown and the payload dumped.
    int known = tsim::payloadSize(code);
    size_t expected = known < 0 ? have : static_cast<size_t>(known);
    std::string head = fmt::format("{} ({})", commandName(code), code);
    if (have != expected) {
        out.push_back(fmt::format("{} payload {} bytes, expected {}{}: {}", head, have, expected,
                                  problems, hexBytes(p, have)));
        return out;
    }
    switch (code) {
        case tsim::kCodeJogOn: {
            const char* dir = p[1] == 1 ? "forward" : (p[1] == 255 ? "reverse" : "direction?");
            out.push_back(fmt::format("{} axis {} {} at {}{}", head, axisName(p[0]), dir,
                                      velocity(getI32(p + 2)), problems));
            break;
        }
        case tsim::kCodeJogOff:
            out.push_back(fmt::format("{} axis {}{}", head, axisName(p[0]), problems));
            break;
        case tsim::kCodeProbe: {
            std::string figures;
            for (int i = 0; i < kAxisCount; ++i)
                figures += fmt::format(" {}={}", kAxisLetters[i], getI32(p + 4 * i));
            bool reservedZero = true;
            for (size_t i = tsim::kProbeReservedOffset; i < have; ++i)
                reservedZero = reservedZero && p[i] == 0;
            out.push_back(fmt::format("{} acceleration figures{}{}{}", head, figures,
                                      reservedZero ? "" : " [reserved half not 0]", problems));
            break;
        }
        case tsim::kCodeHome:
            out.push_back(fmt::format("{} axis {}{}{}", head, axisName(p[0]),
                                      p[1] ? fmt::format(" byte1 {}", p[1]) : "", problems));
            break;
        case tsim::kCodeOutputs:
            out.push_back(fmt::format("{} outputs 0x{:04X} word1 0x{:04X} word2 0x{:04X}{}{}", head,
                                      getU16(p), getU16(p + 6), getU16(p + 4),
                                      getU16(p + 2) ? " [bytes 2-3 not 0]" : "", problems));
            break;
        case tsim::kCodeSpindle:
            out.push_back(fmt::format("{} mode {} value {} speed {} byte9 {}{}", head, p[0],
                                      getU32(p + 1), velocity(getI32(p + 5)), p[9], problems));
            break;
        case tsim::kCodeAxisConfig:
            out.push_back(fmt::format("{} {} bytes{}", head, tsim::kAxisConfigBytes, problems));
            decodeAxisConfig(p, out);
            break;
        case tsim::kCodeIoConfig:
            out.push_back(fmt::format("{} {} bytes{}", head, tsim::kIoConfigBytes, problems));
            decodeIoConfig(p, out);
            break;
        case tsim::kCodePurge:
            out.push_back(fmt::format("{} argument {}{}", head, getI32(p), problems));
            break;
        case tsim::kCodePurgeEndMove:
            out.push_back(head + problems);
            break;
        case tsim::kCodeStop:
            out.push_back(fmt::format("{} mode {}{}", head, p[0], problems));
            break;
        case tsim::kCodeMpg:
            out.push_back(fmt::format("{} axis {} scale {} speed {} {}{}", head, axisName(p[0]),
                                      getI32(p + 1) / kMpgScale, velocity(getI32(p + 5)),
                                      getU16(p + 9) ? "enabled" : "disabled", problems));
            break;
        default:
            out.push_back(
                fmt::format("{} {} bytes{}: {}", head, have, problems, hexBytes(p, have)));
            break;
    }
    return out;
}

std::vector<std::string> decodeBlock(const uint8_t* data, size_t size, bool brief) {
    std::vector<std::string> out;
    size_t n = size / kWireSegmentSize;
    size_t rest = size % kWireSegmentSize;
    std::string head = fmt::format("BLOCK {} segments", n);
    if (n)
        head += fmt::format(", slots {}..{}", getU16(data + tsim::kSegmentSlotOffset),
                            getU16(data + (n - 1) * kWireSegmentSize + tsim::kSegmentSlotOffset));
    if (rest) head += fmt::format(" [{} trailing bytes]", rest);
    if (brief) {
        double travel[kAxisCount] = {};
        for (size_t k = 0; k < n; ++k) {
            for (int a = 0; a < kAxisCount; ++a)
                travel[a] += getI32(data + k * kWireSegmentSize + 8 * static_cast<size_t>(a) + 4) /
                             kTravelScale;
        }
        head += ", travel";
        for (int a = 0; a < kAxisCount; ++a)
            head += fmt::format(" {} {:+.3f}", kAxisLetters[a], travel[a]);
        out.push_back(head);
        return out;
    }
    out.push_back(head);
    for (size_t k = 0; k < n; ++k) {
        const uint8_t* s = data + k * kWireSegmentSize;
        std::string line = fmt::format("  slot {:4} code 0x{:02X} aux 0x{:02X} |",
                                       getU16(s + tsim::kSegmentSlotOffset),
                                       s[tsim::kSegmentCodeOffset], s[tsim::kSegmentAuxOffset]);
        for (int a = 0; a < kAxisCount; ++a) {
            int32_t phase = getI32(s + 8 * a), travel = getI32(s + 8 * a + 4);
            line += fmt::format(" {} {:+.6f}@{:.6f}", kAxisLetters[a], travel / kTravelScale,
                                phase / kPhaseScale);
            if (phase % tsim::kPhaseUnit != 0 || phase < 0 || phase > tsim::kMaxStartPhase)
                line += "[bad phase]";
        }
        out.push_back(line);
    }
    return out;
}

std::string decodeStatusRecord(const uint8_t* data, size_t size) {
    if (size != kStatusRecordSize)
        return fmt::format("STATUS record of {} bytes (expected 62): {}", size,
                           hexBytes(data, size));
    StatusFields r = fieldsOf(decodeStatus(data));
    std::string s =
        fmt::format("STATUS state {} event {} flags 0x{:02X} pos", r.state, r.event, r.flags);
    for (size_t i = 0; i < kAxisCount; ++i)
        s += fmt::format(" {} {}", kAxisLetters[i], r.position[i]);
    s += fmt::format(" | buffer {} tag {} rpm {:.1f}", r.bufferLevel, r.segmentTag, r.spindleRpm);
    if (r.eventAxis) s += fmt::format(" eventAxis 0x{:02X}", r.eventAxis);
    if (r.position[kAxisCount]) s += fmt::format(" pos7 {}", r.position[kAxisCount]);
    if (r.deviceWord0 || r.deviceWord1 || r.deviceWord2 || r.deviceInt0 || r.deviceInt1 ||
        r.deviceInt2 || r.deviceByte) {
        s += fmt::format(" device {} {} {} {} {} {} {}", r.deviceWord0, r.deviceWord1, r.deviceInt0,
                         r.deviceInt1, r.deviceInt2, r.deviceByte, r.deviceWord2);
    }
    if (r.length != kStatusRecordSize) s += fmt::format(" [length {}]", r.length);
    return s;
}

std::vector<std::string> decodeRecord(const TraceRecord& record, bool brief) {
    const uint8_t* d = record.data.data();
    size_t n = record.data.size();
    std::vector<std::string> lines;
    switch (record.kind) {
        case TraceKind::Command:
            lines = decodeCommand(d, n);
            break;
        case TraceKind::Block:
            lines = decodeBlock(d, n, brief);
            break;
        case TraceKind::Status:
            lines.push_back(decodeStatusRecord(d, n));
            break;
        case TraceKind::Note:
            lines.push_back("NOTE " + std::string(reinterpret_cast<const char*>(d), n));
            break;
        case TraceKind::Segment:
            if (n != kSegmentRecordSize) {
                lines.push_back(fmt::format("SEGMENT record of {} bytes (expected 54)", n));
            } else {
                // Copies: fields of the packed record cannot be passed by reference.
                MotionSegment s = decodeSegment(d);
                int32_t tag = s.tag;
                unsigned code = s.segmentCode, aux = s.segmentAux;
                std::string line =
                    fmt::format("SEGMENT tag {} code 0x{:02X} aux 0x{:02X} target", tag, code, aux);
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
    std::string out = fmt::format(
        "telvo trace, version {}, times from the {}\n", kTraceVersion,
        trace.clock == TraceClock::Simulated ? "simulated controller's clock" : "host clock");
    size_t counts[kTraceKinds + 1] = {};
    for (const TraceRecord& r : trace.records) {
        ++counts[static_cast<size_t>(r.kind)];
        std::vector<std::string> lines = decodeRecord(r, brief);
        std::string stamp = fmt::format("{:>12.3f} ms  ", static_cast<double>(r.timeUs) / 1000.0);
        for (size_t i = 0; i < lines.size(); ++i) {
            out += (i == 0 ? stamp : std::string(stamp.size(), ' ')) + lines[i] + "\n";
        }
    }
    out += fmt::format(
        "{} records: {} commands, {} blocks, {} status records, {} notes, {} segments\n",
        trace.records.size(), counts[1], counts[2], counts[3], counts[4], counts[5]);
    return out;
}

}  // namespace telvo::tool
