// The USB bench: umockdev's testbed and ioctl handler, descriptors built
// here byte by byte, and the bridge to the simulator's USB face.
#include "usb_bench.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
// After sys/ioctl.h, which it needs.
#include <linux/usbdevice_fs.h>

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "telvo_wire.h"
#include "telvo_sim.h"

// The simulator's own USB face, compiled into the test from the simulator's
// sources: its telvo_backend_* entry points (the module under test is loaded
// apart, by dlopen, and keeps its own). The bench opens one interface on it
// per claimed device and passes the controller's traffic through it.
extern "C" {
int telvo_backend_open(const char* path, telvo_backend_file* file);
void telvo_backend_close(telvo_backend_file file);
int telvo_backend_initialize(telvo_backend_file file, telvo_backend_interface* iface);
void telvo_backend_free(telvo_backend_interface iface);
int telvo_backend_write_pipe(telvo_backend_interface iface, uint8_t pipe, const void* data, uint32_t count,
                             uint32_t* transferred);
int telvo_backend_read_pipe_async(telvo_backend_interface iface, uint8_t pipe, void* buffer, uint32_t count,
                                  telvo_backend_completion done, void* context);
int telvo_backend_control_transfer(telvo_backend_interface iface, const uint8_t setup[8], void* buffer,
                                   uint32_t count, uint32_t* transferred);
}

namespace usbtest {

constexpr uint8_t kVendorCode20 = 0x20;
constexpr uint8_t kVendorCode10 = 0x21;

const telvo_guid kControllerGuid = {0x8F974853u, 0x102Cu, 0x47CAu, {0xB6, 0xEC, 0x61, 0x3E, 0x80, 0x0E, 0xAF, 0xAA}};
const telvo_guid kOtherGuid = {0x3D1E2A4Bu, 0x55AAu, 0x4C10u, {0x90, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};

namespace {

constexpr int kFifoBytes = 4096;
constexpr uint32_t kCapabilities = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;

void put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
void putUtf16(Bytes& b, const std::string& s, bool nul) {
    for (char c : s) put16(b, static_cast<unsigned char>(c));
    if (nul) put16(b, 0);
}

std::string guidText(const telvo_guid& g) {
    char t[40];
    std::snprintf(t, sizeof t, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2, g.data3,
                  g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return t;
}

// Device and configuration descriptors, as sysfs holds them.
Bytes sysfsDescriptors(const DeviceShape& s) {
    Bytes d = {18, 1};
    put16(d, s.declares == Declares::msOs20 ? 0x0210 : 0x0200);
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, s.vendor);
    put16(d, s.product);
    put16(d, 0x0100);
    d.insert(d.end(), {0, 0, 0, 1});
    Bytes endpoints;
    auto endpoint = [&endpoints](uint8_t address, uint8_t type) {
        endpoints.insert(endpoints.end(), {7, 5, address, type});
        put16(endpoints, 512);
        endpoints.push_back(0);
    };
    if (s.controllerShape) {
        endpoint(0x01, 2);
        endpoint(0x02, 2);
        endpoint(0x81, 2);
    } else {
        endpoint(0x81, 3);  // one interrupt IN, like an input device
    }
    const uint8_t numEndpoints = static_cast<uint8_t>(endpoints.size() / 7);
    Bytes c = {9, 2};
    put16(c, static_cast<unsigned>(9 + 9 + endpoints.size()));
    c.insert(c.end(), {1, 1, 0, 0x80, 50});
    c.insert(c.end(), {9, 4, 0, 0, numEndpoints, static_cast<uint8_t>(s.vendorClass ? 0xFF : 0x03), 0, 0, 0});
    c.insert(c.end(), endpoints.begin(), endpoints.end());
    d.insert(d.end(), c.begin(), c.end());
    return d;
}

std::string hex(const Bytes& b) {
    std::string s;
    char t[3];
    for (uint8_t v : b) {
        std::snprintf(t, sizeof t, "%02x", v);
        s += t;
    }
    return s;
}

// RAII for umockdev's reference-counted ioctl data.
struct DataRef {
    UMockdevIoctlData* d = nullptr;
    DataRef() = default;
    explicit DataRef(UMockdevIoctlData* data) : d(data) {}
    DataRef(const DataRef&) = delete;
    DataRef& operator=(const DataRef&) = delete;
    ~DataRef() {
        if (d != nullptr) g_object_unref(d);
    }
};

}  // namespace

Bytes msOs20Set(const telvo_guid& guid) {
    Bytes name;
    putUtf16(name, "DeviceInterfaceGUIDs", true);
    Bytes value;
    putUtf16(value, guidText(guid), true);
    put16(value, 0);  // the list's end
    Bytes property;
    put16(property, static_cast<unsigned>(10 + name.size() + value.size()));
    put16(property, 4);   // registry property
    put16(property, 7);   // REG_MULTI_SZ
    put16(property, static_cast<unsigned>(name.size()));
    property.insert(property.end(), name.begin(), name.end());
    put16(property, static_cast<unsigned>(value.size()));
    property.insert(property.end(), value.begin(), value.end());
    Bytes compatible;
    put16(compatible, 20);
    put16(compatible, 3);
    for (char c : std::string("WINUSB\0\0", 8)) compatible.push_back(static_cast<uint8_t>(c));
    compatible.resize(20, 0);
    const unsigned functionLength = static_cast<unsigned>(8 + compatible.size() + property.size());
    const unsigned configLength = 8 + functionLength;
    const unsigned total = 10 + configLength;
    Bytes set;
    put16(set, 10);
    put16(set, 0);
    put32(set, 0x06030000);
    put16(set, total);
    put16(set, 8);  // configuration subset
    put16(set, 1);
    set.insert(set.end(), {0, 0});
    put16(set, configLength);
    put16(set, 8);  // function subset, interface 0
    put16(set, 2);
    set.insert(set.end(), {0, 0});
    put16(set, functionLength);
    set.insert(set.end(), compatible.begin(), compatible.end());
    set.insert(set.end(), property.begin(), property.end());
    return set;
}

Bytes bosWithMsOs20(uint16_t setLength) {
    Bytes cap = {28, 0x10, 0x05, 0, 0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
    put32(cap, 0x06030000);
    put16(cap, setLength);
    cap.push_back(kVendorCode20);
    cap.push_back(0);
    Bytes usb20Ext = {7, 0x10, 0x02};
    put32(usb20Ext, 0);
    Bytes bos = {5, 0x0F};
    put16(bos, static_cast<unsigned>(5 + usb20Ext.size() + cap.size()));
    bos.push_back(2);
    bos.insert(bos.end(), usb20Ext.begin(), usb20Ext.end());
    bos.insert(bos.end(), cap.begin(), cap.end());
    return bos;
}

Bytes msOs10String() {
    Bytes s = {18, 3};
    putUtf16(s, "MSFT100", false);
    s.push_back(kVendorCode10);
    s.push_back(0);
    return s;
}

Bytes msOs10Properties(const telvo_guid& guid) {
    Bytes name;
    putUtf16(name, "DeviceInterfaceGUIDs", true);
    Bytes value;
    putUtf16(value, guidText(guid), true);
    put16(value, 0);
    Bytes section;
    put32(section, static_cast<uint32_t>(14 + name.size() + value.size()));
    put32(section, 7);
    put16(section, static_cast<unsigned>(name.size()));
    section.insert(section.end(), name.begin(), name.end());
    put32(section, static_cast<uint32_t>(value.size()));
    section.insert(section.end(), value.begin(), value.end());
    Bytes p;
    put32(p, static_cast<uint32_t>(10 + section.size()));
    put16(p, 0x0100);
    put16(p, 5);
    put16(p, 1);
    p.insert(p.end(), section.begin(), section.end());
    return p;
}

// One URB as the bench holds it. urb/buffer are touched only on umockdev's
// handler thread; the rest is under the bench's mutex.
struct Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    unsigned long clientAddress = 0;
    bool control = false;
    int status = 0;
    Bytes in;        // IN data to hand back
    int actual = 0;  // for OUT: bytes taken
};

struct Device {
    DeviceShape shape;
    int bus = 1;
    int devnum = 0;
    std::string node;      // "/dev/bus/usb/001/002"
    std::string fifoPath;  // inside the testbed
    int fifo = -1;         // the bench's own descriptor of the FIFO
    bool filled = false;
    bool gone = false;
    DeviceLog log;
    int stallFirmware = 0;
    int failReads = 0;
    int emptyReads = 0;

    telvo_backend_file simFile = nullptr;
    telvo_backend_interface simIface = nullptr;
    bool simReadPending = false;
    uint8_t simFrame[tsim::kFrameBytes] = {};
    std::deque<Bytes> heldFrames;   // frames the machine gave with no IN URB waiting
    std::shared_ptr<Urb> pendingIn;
    std::deque<std::shared_ptr<Urb>> completed;
};

struct Bench::State {
    std::mutex m;
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::string root;
    std::vector<std::unique_ptr<Device>> devices;
    std::vector<std::string> unknown;

    Device* byNode(const char* node) {
        for (auto& d : devices)
            if (d->node == node) return d.get();
        return nullptr;
    }
    // Both with m held: readiness of the node for libusb's poll().
    void drain(Device& d) {
        char sink[kFifoBytes];
        while (read(d.fifo, sink, sizeof sink) > 0) {
        }
        d.filled = false;
    }
    void fill(Device& d) {
        if (d.filled) return;
        static const char stuffing[kFifoBytes] = {};
        while (write(d.fifo, stuffing, sizeof stuffing) > 0) {
        }
        d.filled = true;
    }
    void finish(Device& d, std::shared_ptr<Urb> u) {
        d.completed.push_back(std::move(u));
        drain(d);
    }
};

namespace {

Bench::State* current = nullptr;  // for the simulator's completion callback

// The machine finished a status read for a device.
void machineFrame(void* context) {
    Bench::State* s = current;
    auto* d = static_cast<Device*>(context);
    std::lock_guard<std::mutex> lock(s->m);
    if (!d->simReadPending) return;  // the interface was released meanwhile
    d->simReadPending = false;
    Bytes frame(d->simFrame, d->simFrame + tsim::kFrameBytes);
    if (d->pendingIn) {
        std::shared_ptr<Urb> u = std::move(d->pendingIn);
        d->pendingIn.reset();
        u->in = std::move(frame);
        s->finish(*d, std::move(u));
    } else {
        d->heldFrames.push_back(std::move(frame));
    }
}

// Answers a control request from the descriptors; false means a stall.
bool describe(const Device& d, const uint8_t setup[8], Bytes* answer) {
    const uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
    const uint16_t index = static_cast<uint16_t>(setup[4] | (setup[5] << 8));
    const DeviceShape& s = d.shape;
    if (setup[0] == 0x80 && setup[1] == 6 && value == 0x0F00 && s.declares == Declares::msOs20) {
        *answer = bosWithMsOs20(static_cast<uint16_t>(msOs20Set(s.guid).size()));
        return true;
    }
    if (setup[0] == 0x80 && setup[1] == 6 && value == 0x03EE && s.declares == Declares::msOs10) {
        *answer = msOs10String();
        return true;
    }
    if (setup[0] == 0xC0 && setup[1] == kVendorCode20 && index == 7 && s.declares == Declares::msOs20) {
        *answer = msOs20Set(s.guid);
        return true;
    }
    if (setup[0] == 0xC1 && setup[1] == kVendorCode10 && index == 5 && value == 0 && s.declares == Declares::msOs10) {
        *answer = msOs10Properties(s.guid);
        return true;
    }
    return false;
}

void submit(Bench::State* s, Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    DataRef urbData(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr));
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData.d->data);
    const int length = urb->buffer_length;
    DataRef buffer;
    if (length > 0)
        buffer.d = umockdev_ioctl_data_resolve(urbData.d, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(length),
                                               nullptr);
    auto u = std::make_shared<Urb>();
    u->clientAddress = urbData.d->client_addr;
    u->control = urb->type == USBDEVFS_URB_TYPE_CONTROL;
    const uint8_t endpoint = urb->endpoint;
    const uint8_t* bytes = buffer.d != nullptr ? buffer.d->data : nullptr;
    {
        std::lock_guard<std::mutex> lock(s->m);
        if (d.gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
    }
    u->urb = static_cast<UMockdevIoctlData*>(g_object_ref(urbData.d));
    u->buffer = buffer.d != nullptr ? static_cast<UMockdevIoctlData*>(g_object_ref(buffer.d)) : nullptr;

    if (u->control) {
        if (length < 8) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        uint8_t setup[8];
        std::memcpy(setup, bytes, 8);
        const int wanted = std::min(setup[6] | (setup[7] << 8), length - 8);
        bool stall = false;
        Bytes answer;
        const bool firmware = std::memcmp(setup, tsim::kFirmwareSetup, 2) == 0;
        bool stallNow = false;
        {
            std::lock_guard<std::mutex> lock(s->m);
            ++d.log.controlRequests;
            if (firmware) {
                ++d.log.firmwareRequests;
                if (d.stallFirmware > 0) {
                    --d.stallFirmware;
                    stallNow = true;
                }
            }
        }
        if (firmware && !stallNow && d.simIface != nullptr) {
            answer.resize(static_cast<size_t>(wanted));
            uint32_t got = 0;
            const int r = telvo_backend_control_transfer(d.simIface, setup, answer.data(),
                                                            static_cast<uint32_t>(wanted), &got);
            answer.resize(got);
            stall = r != TELVO_BACKEND_OK;
        } else if (firmware) {
            stall = true;
        } else {
            stall = !describe(d, setup, &answer);
        }
        if (answer.size() > static_cast<size_t>(wanted)) answer.resize(static_cast<size_t>(wanted));
        u->status = stall ? -EPIPE : 0;
        u->in = std::move(answer);
        std::lock_guard<std::mutex> lock(s->m);
        s->finish(d, std::move(u));
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }

    if ((endpoint & 0x80) == 0) {
        // Bulk OUT: the machine takes it at once.
        int taken = 0;
        int status = -EPIPE;
        if (d.simIface != nullptr) {
            uint32_t transferred = 0;
            const int r = telvo_backend_write_pipe(d.simIface, endpoint, bytes, static_cast<uint32_t>(length),
                                                      &transferred);
            status = r == TELVO_BACKEND_OK ? 0 : -EPROTO;
            taken = static_cast<int>(transferred);
        }
        u->status = status;
        u->actual = taken;
        std::lock_guard<std::mutex> lock(s->m);
        s->finish(d, std::move(u));
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }

    // Bulk IN on the status pipe: waits for the machine's next frame.
    bool startRead = false;
    {
        std::lock_guard<std::mutex> lock(s->m);
        ++d.log.inSubmitted;
        if (d.failReads > 0 || d.emptyReads > 0) {
            if (d.failReads > 0) {
                --d.failReads;
                u->status = -EPROTO;
            } else {
                --d.emptyReads;
            }
            s->finish(d, std::move(u));
        } else if (!d.heldFrames.empty()) {
            u->in = std::move(d.heldFrames.front());
            d.heldFrames.pop_front();
            s->finish(d, std::move(u));
        } else {
            d.pendingIn = std::move(u);
            startRead = !d.simReadPending && d.simIface != nullptr;
            if (startRead) d.simReadPending = true;
        }
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    if (startRead) {
        const int r = telvo_backend_read_pipe_async(d.simIface, 0x81, d.simFrame, tsim::kFrameBytes,
                                                      &machineFrame, &d);
        if (r != TELVO_BACKEND_OK) {
            std::lock_guard<std::mutex> lock(s->m);
            d.simReadPending = false;
            if (d.pendingIn) {
                d.pendingIn->status = -EPROTO;
                s->finish(d, std::move(d.pendingIn));
                d.pendingIn.reset();
            }
        }
    }
}

void reap(Bench::State* s, Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    std::shared_ptr<Urb> u;
    {
        std::lock_guard<std::mutex> lock(s->m);
        if (d.completed.empty()) {
            s->fill(d);
            umockdev_ioctl_client_complete(client, -1, d.gone ? ENODEV : EAGAIN);
            return;
        }
        u = std::move(d.completed.front());
        d.completed.pop_front();
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u->urb->data);
    urb->status = u->status;
    if ((urb->endpoint & 0x80) != 0 || u->control) {
        const size_t offset = u->control ? 8 : 0;
        const size_t room = u->buffer != nullptr ? static_cast<size_t>(u->buffer->data_len) - offset : 0;
        const size_t n = std::min(room, u->in.size());
        if (n > 0) std::memcpy(u->buffer->data + offset, u->in.data(), n);
        urb->actual_length = static_cast<int>(n);
    } else {
        urb->actual_length = u->actual;
    }
    DataRef pointer(umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr));
    umockdev_ioctl_data_set_ptr(pointer.d, 0, u->urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    if (u->buffer != nullptr) g_object_unref(u->buffer);
    g_object_unref(u->urb);
}

void discard(Bench::State* s, Device& d, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    const auto address = reinterpret_cast<unsigned long>(*reinterpret_cast<void**>(arg->data));
    std::lock_guard<std::mutex> lock(s->m);
    ++d.log.discards;
    if (d.pendingIn && d.pendingIn->clientAddress == address) {
        d.pendingIn->status = -ENOENT;
        s->finish(d, std::move(d.pendingIn));
        d.pendingIn.reset();
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void claim(Bench::State* s, Device& d, bool claiming) {
    if (claiming) {
        char path[32];
        std::snprintf(path, sizeof path, "sim://controller/%d", d.shape.machine);
        telvo_backend_file file = nullptr;
        telvo_backend_interface iface = nullptr;
        if (telvo_backend_open(path, &file) == TELVO_BACKEND_OK &&
            telvo_backend_initialize(file, &iface) != TELVO_BACKEND_OK) {
            telvo_backend_close(file);
            file = nullptr;
        }
        std::lock_guard<std::mutex> lock(s->m);
        ++d.log.claims;
        d.log.claimed = true;
        d.simFile = file;
        d.simIface = iface;
        return;
    }
    telvo_backend_file file = nullptr;
    telvo_backend_interface iface = nullptr;
    {
        std::lock_guard<std::mutex> lock(s->m);
        ++d.log.releases;
        d.log.claimed = false;
        file = d.simFile;
        iface = d.simIface;
        d.simFile = nullptr;
        d.simIface = nullptr;
    }
    if (iface != nullptr) telvo_backend_free(iface);
    if (file != nullptr) telvo_backend_close(file);
    std::lock_guard<std::mutex> lock(s->m);
    d.simReadPending = false;
    d.heldFrames.clear();
}

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* s = static_cast<Bench::State*>(self);
    Device* d = nullptr;
    {
        std::lock_guard<std::mutex> lock(s->m);
        d = s->byNode(umockdev_ioctl_client_get_devnode(client));
    }
    if (d == nullptr) return FALSE;
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
    case USBDEVFS_SUBMITURB: submit(s, *d, client, arg); return TRUE;
    case USBDEVFS_REAPURBNDELAY: reap(s, *d, client, arg); return TRUE;
    case USBDEVFS_DISCARDURB: discard(s, *d, client, arg); return TRUE;
    default: break;
    }
    bool gone = false;
    {
        std::lock_guard<std::mutex> lock(s->m);
        gone = d->gone;
    }
    if (gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        DataRef caps(umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr));
        std::memcpy(caps.d->data, &kCapabilities, sizeof kCapabilities);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
        claim(s, *d, request == USBDEVFS_CLAIMINTERFACE);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_GETDRIVER: {
        DataRef driver(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr));
        auto* g = reinterpret_cast<usbdevfs_getdriver*>(driver.d->data);
        std::lock_guard<std::mutex> lock(s->m);
        if (!d->log.driverBound) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return TRUE;
        }
        std::snprintf(g->driver, sizeof g->driver, "%s", "telvo-test");
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_IOCTL: {
        DataRef command(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr));
        const auto* c = reinterpret_cast<const usbdevfs_ioctl*>(command.d->data);
        std::lock_guard<std::mutex> lock(s->m);
        if (c->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT) && d->log.driverBound) {
            d->log.driverBound = false;
            ++d->log.driverDetaches;
            umockdev_ioctl_client_complete(client, 0, 0);
        } else if (c->ioctl_code == static_cast<int>(USBDEVFS_CONNECT) && !d->log.driverBound && d->shape.kernelDriver) {
            d->log.driverBound = true;
            ++d->log.driverAttaches;
            umockdev_ioctl_client_complete(client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
        }
        return TRUE;
    }
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    default: {
        char text[64];
        std::snprintf(text, sizeof text, "ioctl 0x%lx", request);
        std::lock_guard<std::mutex> lock(s->m);
        s->unknown.emplace_back(text);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    }
}

}  // namespace

Bench::Bench() : s_(std::make_unique<State>()) {
    s_->testbed = umockdev_testbed_new();
    if (s_->testbed == nullptr) throw std::runtime_error("umockdev testbed");
    gchar* root = umockdev_testbed_get_root_dir(s_->testbed);
    s_->root = root;
    g_free(root);
    s_->handler = umockdev_ioctl_base_new();
    g_signal_connect(s_->handler, "handle-ioctl", G_CALLBACK(handleIoctl), s_.get());
    current = s_.get();
}

Bench::~Bench() {
    // The testbed first, then the handler (the other order upsets GLib
    // under ThreadSanitizer).
    g_object_unref(s_->testbed);
    g_object_unref(s_->handler);
    current = nullptr;
    for (auto& d : s_->devices) {
        if (d->simIface != nullptr) telvo_backend_free(d->simIface);
        if (d->simFile != nullptr) telvo_backend_close(d->simFile);
        for (auto* list : {&d->completed}) {
            for (auto& u : *list) {
                if (u->buffer != nullptr) g_object_unref(u->buffer);
                g_object_unref(u->urb);
            }
        }
        if (d->pendingIn) {
            if (d->pendingIn->buffer != nullptr) g_object_unref(d->pendingIn->buffer);
            g_object_unref(d->pendingIn->urb);
        }
        if (d->fifo >= 0) close(d->fifo);
    }
}

int Bench::add(const DeviceShape& shape) {
    auto d = std::make_unique<Device>();
    d->shape = shape;
    d->log.driverBound = shape.kernelDriver;
    const int index = static_cast<int>(s_->devices.size());
    d->devnum = index + 2;
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", d->bus, d->devnum);
    d->node = node;
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(s_->testbed, node, s_->handler, &error)) {
        std::string what = error != nullptr ? error->message : "attach_ioctl";
        g_clear_error(&error);
        throw std::runtime_error(what);
    }
    char text[2048];
    std::snprintf(text, sizeof text,
                  "P: /devices/pci0000:00/0000:00:14.0/usb%d/%d-%d\n"
                  "N: bus/usb/%03d/%03d\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DEVNAME=%s\n"
                  "E: BUSNUM=%03d\n"
                  "E: DEVNUM=%03d\n"
                  "A: busnum=%d\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=480\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "H: descriptors=%s\n",
                  d->bus, d->bus, shape.port, d->bus, d->devnum, node, d->bus, d->devnum, d->bus, d->devnum,
                  hex(sysfsDescriptors(shape)).c_str());
    if (!umockdev_testbed_add_from_string(s_->testbed, text, &error)) {
        std::string what = error != nullptr ? error->message : "add_from_string";
        g_clear_error(&error);
        throw std::runtime_error(what);
    }
    // The node becomes a FIFO, held full until something can be reaped.
    d->fifoPath = s_->root + node;
    unlink(d->fifoPath.c_str());
    if (mkfifo(d->fifoPath.c_str(), 0666) != 0) throw std::runtime_error("mkfifo " + d->fifoPath);
    d->fifo = open(d->fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (d->fifo < 0) throw std::runtime_error("open " + d->fifoPath);
    fcntl(d->fifo, F_SETPIPE_SZ, kFifoBytes);
    std::lock_guard<std::mutex> lock(s_->m);
    s_->fill(*d);
    s_->devices.push_back(std::move(d));
    return index;
}

void Bench::unplug(int device) {
    // The machine first (its lock is taken before the bench's everywhere).
    tsim_set_device_count(0);
    std::lock_guard<std::mutex> lock(s_->m);
    Device& d = *s_->devices.at(static_cast<size_t>(device));
    d.gone = true;
    if (d.pendingIn) {
        d.pendingIn->status = -ESHUTDOWN;
        s_->finish(d, std::move(d.pendingIn));
        d.pendingIn.reset();
    }
}

void Bench::stallFirmwareRequest(int device) {
    std::lock_guard<std::mutex> lock(s_->m);
    ++s_->devices.at(static_cast<size_t>(device))->stallFirmware;
}

void Bench::failNextStatusReads(int device, int count) {
    std::lock_guard<std::mutex> lock(s_->m);
    s_->devices.at(static_cast<size_t>(device))->failReads += count;
}

void Bench::zeroLengthStatusReads(int device, int count) {
    std::lock_guard<std::mutex> lock(s_->m);
    s_->devices.at(static_cast<size_t>(device))->emptyReads += count;
}

DeviceLog Bench::log(int device) {
    std::lock_guard<std::mutex> lock(s_->m);
    const Device& d = *s_->devices.at(static_cast<size_t>(device));
    DeviceLog l = d.log;
    l.pendingIn = d.pendingIn ? 1 : 0;
    return l;
}

std::vector<std::string> Bench::unknownRequests() {
    std::lock_guard<std::mutex> lock(s_->m);
    return s_->unknown;
}

}  // namespace usbtest
