// A USB bench for tests: controllers emulated at the kernel's usbdevfs
// interface by umockdev, in the test process, with the simulator's machine
// behind each of them.
//
// The path under test is the real one: libtelvo_usb.so -> libusb -> usbdevfs
// ioctls -> this bench. The bench answers descriptor and vendor requests from
// the descriptors a test gives it, and hands the controller's own traffic
// (bulk OUT 0x01/0x02, bulk IN 0x81, the firmware request) to the simulator's
// USB face, so that every byte reaches the same machine model that stands
// behind the simulated backend.
//
// Each device node is a FIFO that the bench keeps full while nothing can be
// reaped and drains when something can: libusb's event loop then blocks in
// poll() instead of spinning (umockdev's own nodes are plain files, which
// always poll ready).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "telvo/telvo_backend.h"

namespace usbtest {

// The controller's interface GUID, and another one.
extern const telvo_guid kControllerGuid;
extern const telvo_guid kOtherGuid;

using Bytes = std::vector<uint8_t>;

// Microsoft OS descriptors as a controller would send them, written here
// independently of the module's parser.
Bytes msOs20Set(const telvo_guid& guid);        // descriptor set, function of interface 0
Bytes bosWithMsOs20(uint16_t setLength);        // BOS with the platform capability
Bytes msOs10String();                           // string descriptor 0xEE
Bytes msOs10Properties(const telvo_guid& guid); // extended properties

enum class Declares { msOs20, msOs10, nothing };

struct DeviceShape {
    int port = 1;                    // on bus 1: sysfs name "1-<port>"
    uint16_t vendor = 0x1209;
    uint16_t product = 0x7E10;
    Declares declares = Declares::msOs20;
    telvo_guid guid = kControllerGuid;
    bool controllerShape = true;     // vendor interface with bulk 0x01, 0x02, 0x81
    bool vendorClass = true;
    bool kernelDriver = false;       // a kernel driver is bound to the interface
    int machine = 0;                 // the simulator's device index behind it
};

// What the bench saw of one device.
struct DeviceLog {
    int controlRequests = 0;         // every control URB, descriptors included
    int firmwareRequests = 0;
    int claims = 0;
    int releases = 0;
    int discards = 0;
    int inSubmitted = 0;
    bool claimed = false;
    bool driverBound = false;
    int driverDetaches = 0;
    int driverAttaches = 0;
    int pendingIn = 0;               // IN URBs submitted and not completed
};

class Bench {
public:
    Bench();
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Adds a device (before the module first lists; returns its index).
    int add(const DeviceShape& shape);

    // Faults at the USB level.
    void unplug(int device);                 // pending URBs end -ESHUTDOWN, ioctls then ENODEV
    void stallFirmwareRequest(int device);   // the next firmware request stalls
    void failNextStatusReads(int device, int count);  // IN URBs end -EPROTO
    void zeroLengthStatusReads(int device, int count); // IN URBs end with 0 bytes

    DeviceLog log(int device);

    // Ioctls the bench did not know (should stay empty).
    std::vector<std::string> unknownRequests();

    struct State;

private:
    std::unique_ptr<State> s_;
};

}  // namespace usbtest
