// Parsing of the Microsoft OS descriptors, port paths and the VID:PID list.
#include "descriptors.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace telvo_usb {

namespace {

// The MS OS 2.0 platform capability UUID {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F},
// as it appears on the wire (little-endian first three fields).
constexpr uint8_t kMsOs20PlatformUuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                             0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

// MS OS 2.0 descriptor types.
constexpr uint16_t kSetHeader = 0;
constexpr uint16_t kSubsetFunction = 2;
constexpr uint16_t kRegistryProperty = 4;
constexpr size_t kPlatformCapabilityHeader = 20;  // up to and with the UUID
constexpr size_t kDescriptorSetInfo = 8;

// Registry value types used by both generations.
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegMultiSz = 7;

constexpr size_t kMsOs10Header = 10;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A UTF-16LE name equals an ASCII text (a trailing NUL in the name is allowed).
bool utf16Equals(const uint8_t* name, size_t bytes, const char* text) {
    const size_t n = std::strlen(text);
    size_t units = bytes / 2;
    if (units > 0 && u16(name + 2 * (units - 1)) == 0) --units;
    if (units != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (u16(name + 2 * i) != static_cast<unsigned char>(text[i])) return false;
    return true;
}

bool isGuidPropertyName(const uint8_t* name, size_t bytes) {
    return utf16Equals(name, bytes, "DeviceInterfaceGUIDs") || utf16Equals(name, bytes, "DeviceInterfaceGUID");
}

// Does a REG_SZ or REG_MULTI_SZ value in UTF-16LE hold the GUID text?
bool valueHoldsGuid(const uint8_t* data, size_t bytes, const std::string& guid) {
    std::string current;
    bool ascii = true;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const uint16_t unit = u16(data + i);
        if (unit == 0) {
            if (ascii && current.size() == guid.size() &&
                std::equal(current.begin(), current.end(), guid.begin(), [](char a, char b) {
                    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
                }))
                return true;
            current.clear();
            ascii = true;
            continue;
        }
        if (unit > 0x7F) ascii = false;
        current.push_back(static_cast<char>(unit & 0x7F));
    }
    // A value without its final NUL still counts.
    return ascii && !current.empty() && current.size() == guid.size() &&
           std::equal(current.begin(), current.end(), guid.begin(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
           });
}

}  // namespace

bool operator<(const PortPath& a, const PortPath& b) {
    if (a.bus != b.bus) return a.bus < b.bus;
    return std::lexicographical_compare(a.ports, a.ports + a.depth, b.ports, b.ports + b.depth);
}

bool operator==(const PortPath& a, const PortPath& b) {
    return a.bus == b.bus && a.depth == b.depth && std::equal(a.ports, a.ports + a.depth, b.ports);
}

std::string formatPath(const PortPath& path) {
    std::string s = "usb:" + std::to_string(path.bus) + "-";
    for (int i = 0; i < path.depth; ++i) {
        if (i > 0) s += '.';
        s += std::to_string(path.ports[i]);
    }
    return s;
}

bool parsePath(const char* text, PortPath* out) {
    if (text == nullptr || out == nullptr || std::strncmp(text, "usb:", 4) != 0) return false;
    PortPath p;
    const char* c = text + 4;
    auto number = [&c](unsigned* value) {
        if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
        unsigned v = 0;
        while (std::isdigit(static_cast<unsigned char>(*c))) {
            v = v * 10 + static_cast<unsigned>(*c - '0');
            if (v > 255) return false;
            ++c;
        }
        *value = v;
        return true;
    };
    unsigned value = 0;
    if (!number(&value) || *c != '-') return false;
    p.bus = static_cast<uint8_t>(value);
    ++c;
    while (true) {
        if (p.depth == kMaxPorts || !number(&value) || value == 0) return false;
        p.ports[p.depth++] = static_cast<uint8_t>(value);
        if (*c == '\0') break;
        if (*c != '.') return false;
        ++c;
    }
    *out = p;
    return true;
}

std::string formatGuid(const telvo_guid& g) {
    char text[40];
    (void)std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2,
                  g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                  g.data4[7]);
    return text;
}

bool findMsOs20(const uint8_t* bos, size_t length, MsOs20Info* out) {
    if (bos == nullptr || length < 5 || bos[1] != kBosDescriptorType) return false;
    const size_t total = std::min<size_t>(length, u16(bos + 2));
    size_t at = bos[0];
    while (at + 3 <= total) {
        const size_t capLength = bos[at];
        if (capLength < 3 || at + capLength > total) return false;
        const uint8_t* cap = bos + at;
        if (cap[1] == kDeviceCapabilityType && cap[2] == kPlatformCapability &&
            capLength >= kPlatformCapabilityHeader + kDescriptorSetInfo &&
            std::memcmp(cap + 4, kMsOs20PlatformUuid, sizeof kMsOs20PlatformUuid) == 0) {
            // One descriptor set information record per Windows version; the
            // first with a set is the one to ask for.
            for (size_t info = kPlatformCapabilityHeader; info + kDescriptorSetInfo <= capLength;
                 info += kDescriptorSetInfo) {
                const uint16_t setLength = u16(cap + info + 4);
                if (setLength == 0) continue;
                out->setLength = setLength;
                out->vendorCode = cap[info + 6];
                return true;
            }
        }
        at += capLength;
    }
    return false;
}

bool msOs20DeclaresGuid(const uint8_t* set, size_t length, const std::string& guid, int interfaceNumber) {
    if (set == nullptr || length < 10 || u16(set) != 10 || u16(set + 2) != kSetHeader) return false;
    const size_t total = std::min<size_t>(length, u16(set + 8));
    size_t functionEnd = 0;  // the function subset in force ends here
    int functionInterface = -1;
    size_t at = 0;
    while (at + 4 <= total) {
        const size_t dLength = u16(set + at);
        const uint16_t type = u16(set + at + 2);
        if (dLength < 4 || at + dLength > total) return false;
        if (at >= functionEnd) functionInterface = -1;
        const uint8_t* d = set + at;
        if (type == kSubsetFunction && dLength >= 8) {
            functionInterface = d[4];
            functionEnd = at + std::max<size_t>(u16(d + 6), dLength);
        } else if (type == kRegistryProperty && dLength >= 10) {
            const uint16_t dataType = u16(d + 4);
            const size_t nameLength = u16(d + 6);
            if (8 + nameLength + 2 > dLength) return false;
            const uint8_t* name = d + 8;
            const size_t dataLength = u16(d + 8 + nameLength);
            if (10 + nameLength + dataLength > dLength) return false;
            const bool applies = functionInterface < 0 || functionInterface == interfaceNumber;
            if (applies && (dataType == kRegSz || dataType == kRegMultiSz) && isGuidPropertyName(name, nameLength) &&
                valueHoldsGuid(d + 10 + nameLength, dataLength, guid))
                return true;
        }
        at += dLength;
    }
    return false;
}

bool parseMsOs10String(const uint8_t* data, size_t length, uint8_t* vendorCode) {
    static constexpr char kSignature[] = "MSFT100";
    if (data == nullptr || length < kMsOs10StringLength || data[0] < kMsOs10StringLength || data[1] != 3)
        return false;
    for (size_t i = 0; i < 7; ++i)
        if (u16(data + 2 + 2 * i) != static_cast<unsigned char>(kSignature[i])) return false;
    *vendorCode = data[16];
    return true;
}

uint32_t msOs10PropertiesLength(const uint8_t* header, size_t length) {
    if (header == nullptr || length < kMsOs10Header) return 0;
    if (u16(header + 4) != 0x0100 || u16(header + 6) != kMsOs10ExtendedPropertiesIndex) return 0;
    const uint32_t total = u32(header);
    return total >= kMsOs10Header ? total : 0;
}

bool msOs10DeclaresGuid(const uint8_t* data, size_t length, const std::string& guid) {
    const uint32_t declared = msOs10PropertiesLength(data, length);
    if (declared == 0) return false;
    const size_t total = std::min<size_t>(length, declared);
    const uint16_t count = u16(data + 8);
    size_t at = kMsOs10Header;
    for (uint16_t i = 0; i < count && at + 14 <= total; ++i) {
        const uint8_t* s = data + at;
        const size_t size = u32(s);
        if (size < 14 || at + size > total) return false;
        const uint32_t dataType = u32(s + 4);
        const size_t nameLength = u16(s + 8);
        if (10 + nameLength + 4 > size) return false;
        const size_t dataLength = u32(s + 10 + nameLength);
        if (14 + nameLength + dataLength > size) return false;
        if ((dataType == kRegSz || dataType == kRegMultiSz) && isGuidPropertyName(s + 10, nameLength) &&
            valueHoldsGuid(s + 14 + nameLength, dataLength, guid))
            return true;
        at += size;
    }
    return false;
}

std::vector<UsbId> parseIdList(const char* text, std::string* bad) {
    std::vector<UsbId> ids;
    if (text == nullptr) return ids;
    // One hexadecimal field of one to four digits; false if there is none.
    auto hex16 = [](const char*& c, uint16_t* out) {
        unsigned v = 0;
        int digits = 0;
        while (std::isxdigit(static_cast<unsigned char>(*c)) && digits < 4) {
            const char d = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
            v = v * 16 + static_cast<unsigned>(d <= '9' ? d - '0' : d - 'a' + 10);
            ++digits;
            ++c;
        }
        *out = static_cast<uint16_t>(v);
        return digits > 0;
    };
    const char* c = text;
    while (*c != '\0') {
        const char* end = std::strchr(c, ',');
        const std::string item(c, end != nullptr ? static_cast<size_t>(end - c) : std::strlen(c));
        const char* p = item.c_str();
        while (*p == ' ') ++p;
        UsbId id;
        bool ok = hex16(p, &id.vendor) && *p++ == ':' && hex16(p, &id.product);
        while (ok && *p == ' ') ++p;
        ok = ok && *p == '\0';
        if (ok) {
            ids.push_back(id);
        } else if (bad != nullptr && !item.empty()) {
            if (!bad->empty()) *bad += ", ";
            *bad += item;
        }
        if (end == nullptr) break;
        c = end + 1;
    }
    return ids;
}

}  // namespace telvo_usb
