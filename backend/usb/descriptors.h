// Microsoft OS descriptors, USB port paths and the VID:PID fallback list:
// the pure parsing behind the module's discovery, kept free of libusb so that
// every byte layout is read in one place.
//
// A controller declares its device-interface GUID to Windows in one of two
// ways, and the module reads both:
//  - MS OS 2.0: a platform capability in the BOS descriptor names a vendor
//    request code; that request (wIndex 7) returns a descriptor set whose
//    registry-property descriptors carry DeviceInterfaceGUIDs.
//  - MS OS 1.0: string descriptor 0xEE ("MSFT100" and a vendor code); the
//    vendor request with wIndex 5 returns the extended properties.
// Every parser is bounded by the length it is given and refuses, rather than
// reads past, a descriptor whose own length fields disagree with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "telvo/telvo_backend.h"

namespace telvo_usb {

// USB descriptor and request constants the discovery needs.
constexpr uint8_t kBosDescriptorType = 0x0F;
constexpr uint8_t kDeviceCapabilityType = 0x10;
constexpr uint8_t kPlatformCapability = 0x05;
constexpr uint16_t kMsOs20DescriptorIndex = 7;
constexpr uint16_t kMsOs10ExtendedPropertiesIndex = 5;
constexpr uint8_t kMsOs10StringIndex = 0xEE;
constexpr uint16_t kMsOs10StringLength = 18;

// Pipes of the controller's interface.
constexpr uint8_t kCommandPipe = 0x01;
constexpr uint8_t kBlockPipe = 0x02;
constexpr uint8_t kStatusPipe = 0x81;

// Most ports in a USB path (the USB 3 limit of hub tiers).
constexpr int kMaxPorts = 7;

// Where a device sits: its bus and the ports from the root hub down.
struct PortPath {
    uint8_t bus = 0;
    uint8_t ports[kMaxPorts] = {};
    int depth = 0;
};

bool operator<(const PortPath& a, const PortPath& b);
bool operator==(const PortPath& a, const PortPath& b);

// "usb:BUS-P1.P2...", e.g. "usb:1-4.2". parsePath accepts exactly that form.
std::string formatPath(const PortPath& path);
bool parsePath(const char* text, PortPath* out);

// "{8F974853-102C-47CA-B6EC-613E800EAFAA}", upper case, as Windows writes it.
std::string formatGuid(const telvo_guid& guid);

// From the BOS descriptor: the vendor code and the length of the MS OS 2.0
// descriptor set. False when the BOS holds no such platform capability.
struct MsOs20Info {
    uint8_t vendorCode = 0;
    uint16_t setLength = 0;
};
bool findMsOs20(const uint8_t* bos, size_t length, MsOs20Info* out);

// True when the MS OS 2.0 descriptor set declares the GUID (in
// DeviceInterfaceGUIDs or DeviceInterfaceGUID), for the whole device or for
// the function that starts at the given interface.
bool msOs20DeclaresGuid(const uint8_t* set, size_t length, const std::string& guid, int interfaceNumber);

// From string descriptor 0xEE: the vendor code, or false if it is not an
// MS OS 1.0 string.
bool parseMsOs10String(const uint8_t* data, size_t length, uint8_t* vendorCode);

// The declared length of an extended-properties descriptor from its first
// ten bytes (its header), or 0 if the header is not one.
uint32_t msOs10PropertiesLength(const uint8_t* header, size_t length);

// True when the extended properties declare the GUID.
bool msOs10DeclaresGuid(const uint8_t* data, size_t length, const std::string& guid);

// The TELVO_USB_IDS list: "VID:PID[,VID:PID...]" in hexadecimal. Entries
// that do not parse are skipped and reported in *bad (may be null).
struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
};
std::vector<UsbId> parseIdList(const char* text, std::string* bad);

}  // namespace telvo_usb
