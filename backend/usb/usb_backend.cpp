/*
 * libtelvo_usb.so - the device backend of telvo on Linux, over libusb-1.0.
 *
 * It implements the telvo_backend_* ABI (version 1) for a real controller:
 *
 * Discovery. A controller is a device whose Microsoft OS descriptors declare
 * the requested interface GUID in DeviceInterfaceGUIDs, exactly as Windows
 * finds it: MS OS 2.0 (BOS platform capability, then the vendor request it
 * names) or MS OS 1.0 (string 0xEE, then the extended-properties request).
 * Controllers without those descriptors are named by TELVO_USB_IDS
 * ("VID:PID[,VID:PID...]", hexadecimal). Only plausible candidates are ever
 * sent a request: a device whose cached configuration has a vendor-specific
 * interface with bulk OUT 0x01, bulk OUT 0x02 and bulk IN 0x81. libusb is
 * initialised on the first listing (or open), not when the module loads. The
 * list is ordered by bus and port path, and a device's path is
 * "usb:BUS-PORTS" (e.g. "usb:1-4.2"), which open finds again.
 *
 * Opening. open opens the device; initialize detaches a bound kernel driver
 * and claims the controller interface; free releases it and reattaches the
 * driver; close does the same if free was not called, then closes.
 *
 * Transfers. write_pipe is a synchronous bulk write without a time-out of its
 * own (WinUSB without a pipe policy); a short write succeeds with the count
 * the device took. control_transfer is synchronous, with a 5 s time-out (the
 * default of WinUSB's control pipe). read_pipe_async submits a bulk IN into a
 * buffer of the module's own; completions arrive on an event thread that the
 * module runs while any interface is initialised (or on a host thread that
 * happens to be waiting in a synchronous transfer).
 *
 * Failed reads. The ABI's completion carries no status, and the library takes
 * whatever its buffer holds as a new status frame. So only a read that
 * delivered bytes completes (the bytes are copied into the caller's buffer,
 * the rest of it zeroed). A zero-length packet or a transient error (I/O
 * error, stall - the halt is cleared first -, overflow) is resubmitted
 * silently, up to kMaxTransientErrors in a row. A read ended by the device's
 * loss, one whose resubmission fails, or one past that count stays pending
 * for ever: the library's polls see no frame, and its next command write
 * fails and reports the loss. free cancels a read in flight and waits for
 * the cancellation: no completion after it returns.
 *
 * Errors, as the ABI's Windows numbers:
 *   libusb NOT_FOUND, a path that names no device ...... 2    FILE_NOT_FOUND
 *   libusb ACCESS ...................................... 5    ACCESS_DENIED
 *   a handle that this module did not give ............. 6    INVALID_HANDLE
 *   libusb NO_MEM ...................................... 8    NOT_ENOUGH_MEMORY
 *   libusb IO, PIPE (stall), OTHER, no controller
 *     interface on an opened device .................... 31   GEN_FAILURE
 *   libusb NOT_SUPPORTED ............................... 50   NOT_SUPPORTED
 *   libusb INVALID_PARAM, a bad argument or pipe ....... 87   INVALID_PARAMETER
 *   libusb TIMEOUT ..................................... 121  SEM_TIMEOUT
 *   path buffer too small .............................. 122  INSUFFICIENT_BUFFER
 *   libusb BUSY (interface claimed elsewhere) .......... 170  BUSY
 *   libusb OVERFLOW .................................... 234  MORE_DATA
 *   no interface at the index .......................... 259  NO_MORE_ITEMS
 *   libusb INTERRUPTED ................................. 995  OPERATION_ABORTED
 *   libusb NO_DEVICE (unplugged) ....................... 1167 DEVICE_NOT_CONNECTED
 *
 * show_message prints "caption: text" on stderr and returns at once.
 * TELVO_USB_DEBUG=1 prints each discovery decision on stderr.
 */
#pragma GCC visibility push(default)
#include "telvo/telvo_backend.h"
#pragma GCC visibility pop

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "descriptors.h"

namespace telvo_usb {
namespace {

// Windows error numbers beyond those the ABI header names.
constexpr int kErrorAccessDenied = 5;
constexpr int kErrorInvalidHandle = 6;
constexpr int kErrorNotEnoughMemory = 8;
constexpr int kErrorNotSupported = 50;
constexpr int kErrorInvalidParameter = 87;
constexpr int kErrorSemTimeout = 121;
constexpr int kErrorBusy = 170;
constexpr int kErrorMoreData = 234;
constexpr int kErrorOperationAborted = 995;
constexpr int kErrorDeviceNotConnected = 1167;

constexpr unsigned kControlTimeoutMs = 5000;     // WinUSB's default on the control pipe
constexpr unsigned kDiscoveryTimeoutMs = 1000;   // each descriptor request while listing
constexpr int kMaxTransientErrors = 16;          // failed status reads in a row before giving up
constexpr int kEventWakeSeconds = 1;             // the event loop re-checks its stop flag
constexpr int kEventErrorPauseMs = 10;           // after a failed round of event handling
constexpr uint16_t kFirstBosVersion = 0x0201;    // bcdUSB from which a device may have a BOS
constexpr size_t kMaxDescriptorSet = 4096;
constexpr uint8_t kVendorDeviceIn = 0xC0;      // device to host, vendor, device
constexpr uint8_t kVendorInterfaceIn = 0xC1;   // device to host, vendor, interface

int errorFromLibusb(int code) {
    switch (code) {
    case LIBUSB_SUCCESS: return TELVO_BACKEND_OK;
    case LIBUSB_ERROR_NOT_FOUND: return TELVO_BACKEND_ERROR_FILE_NOT_FOUND;
    case LIBUSB_ERROR_ACCESS: return kErrorAccessDenied;
    case LIBUSB_ERROR_NO_MEM: return kErrorNotEnoughMemory;
    case LIBUSB_ERROR_NOT_SUPPORTED: return kErrorNotSupported;
    case LIBUSB_ERROR_INVALID_PARAM: return kErrorInvalidParameter;
    case LIBUSB_ERROR_TIMEOUT: return kErrorSemTimeout;
    case LIBUSB_ERROR_BUSY: return kErrorBusy;
    case LIBUSB_ERROR_OVERFLOW: return kErrorMoreData;
    case LIBUSB_ERROR_INTERRUPTED: return kErrorOperationAborted;
    case LIBUSB_ERROR_NO_DEVICE: return kErrorDeviceNotConnected;
    default: return TELVO_BACKEND_ERROR_GEN_FAILURE;  // IO, PIPE, OTHER
    }
}

// The environment is only read, never changed, by the module.
bool debugEnabled() {
    const char* v = std::getenv("TELVO_USB_DEBUG");  // NOLINT(concurrency-mt-unsafe)
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

// printf-style, checked by the compiler through the format attribute.
__attribute__((format(printf, 1, 2))) void debug(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    if (!debugEnabled()) return;
    char line[512];
    va_list args;
    va_start(args, format);
    (void)std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    (void)std::fprintf(stderr, "telvo-usb: %s\n", line);
}

// ---------------------------------------------------------------------------
// Handles

constexpr uint32_t kFileMagic = 0x7E1F11E5u;
constexpr uint32_t kInterfaceMagic = 0x7E1F1FACu;

struct Interface;

struct File {
    uint32_t magic = kFileMagic;
    libusb_device_handle* handle = nullptr;
    int interfaceNumber = -1;
    Interface* iface = nullptr;
    std::string path;
};

enum class ReadState { idle, submitted, lost };

struct Interface {
    uint32_t magic = kInterfaceMagic;
    File* file = nullptr;
    bool claimed = false;
    bool detached = false;
    libusb_transfer* transfer = nullptr;

    std::mutex m;
    std::condition_variable changed;
    ReadState read = ReadState::idle;
    bool cancelling = false;   // free is waiting for the read to end
    bool orphaned = false;     // freed from the completion's own thread: the read's end deletes us
    std::vector<uint8_t> bounce;
    uint8_t* target = nullptr;
    uint32_t count = 0;
    telvo_backend_completion done = nullptr;
    void* context = nullptr;
    int transientErrors = 0;
};

// ---------------------------------------------------------------------------
// The module's state: the libusb context, the live handles, the event thread.

// Set once the module's state is gone (unloading, or the process's exit):
// calls that still arrive, from another library's teardown, fail quietly.
bool moduleGone = false;

class Module {
public:
    ~Module() {
        shutdown();
        moduleGone = true;
    }

    // The context, initialised on first use; null if libusb cannot start.
    libusb_context* context() {
        std::lock_guard<std::mutex> lock(m_);
        if (context_ == nullptr && !initFailed_) {
            const int r = libusb_init(&context_);
            if (r != LIBUSB_SUCCESS) {
                debug("libusb_init failed: %s", libusb_error_name(r));
                context_ = nullptr;
                initFailed_ = true;
            }
        }
        return context_;
    }

    void addFile(File* f) {
        std::lock_guard<std::mutex> lock(m_);
        files_.push_back(f);
    }
    // Looks a handle up; with take, also removes it so nothing else finds it.
    File* file(void* handle, bool take = false) {
        std::lock_guard<std::mutex> lock(m_);
        auto it = std::find(files_.begin(), files_.end(), static_cast<File*>(handle));
        if (handle == nullptr || it == files_.end()) return nullptr;
        File* f = *it;
        if (take) files_.erase(it);
        return f;
    }
    Interface* iface(void* handle, bool take = false) {
        std::lock_guard<std::mutex> lock(m_);
        auto it = std::find(ifaces_.begin(), ifaces_.end(), static_cast<Interface*>(handle));
        if (handle == nullptr || it == ifaces_.end()) return nullptr;
        Interface* i = *it;
        if (take) ifaces_.erase(it);
        return i;
    }

    // An interface starts being served; the event thread runs while any is.
    void addInterface(Interface* i) {
        std::lock_guard<std::mutex> lock(m_);
        ifaces_.push_back(i);
        if (!events_.joinable()) {
            stop_.store(false);
            running_.store(true);
            events_ = std::thread([this] { eventLoop(); });
        }
    }
    // After the last interface went away: stop the event thread, unless this
    // is the event thread itself (a completion that freed its interface);
    // then the next free, or the module's unloading, stops it.
    void interfaceGone() {
        std::thread stopping;
        {
            std::lock_guard<std::mutex> lock(m_);
            if (!ifaces_.empty() || !events_.joinable() || onEventThread()) return;
            stopping = std::move(events_);
        }
        stopEventThread(stopping);
    }

    bool onEventThread() const { return eventThreadId_.load() == std::this_thread::get_id(); }
    // True from the event thread's start until it has been joined.
    bool eventsRunning() const { return running_.load(); }

private:
    void eventLoop() {
        eventThreadId_.store(std::this_thread::get_id());
        while (!stop_.load()) {
            timeval wake{kEventWakeSeconds, 0};
            const int r = libusb_handle_events_timeout_completed(context_, &wake, nullptr);
            // An error that returns at once must not turn the loop into a spin.
            if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_INTERRUPTED && r != LIBUSB_ERROR_TIMEOUT)
                std::this_thread::sleep_for(std::chrono::milliseconds(kEventErrorPauseMs));
        }
        eventThreadId_.store(std::thread::id());
    }

    void stopEventThread(std::thread& t) {
        if (!t.joinable()) return;
        stop_.store(true);
        libusb_interrupt_event_handler(context_);
        t.join();
        running_.store(false);
    }

    void shutdown() {
        std::thread stopping;
        {
            std::lock_guard<std::mutex> lock(m_);
            stopping = std::move(events_);
        }
        if (stopping.joinable() && stopping.get_id() != std::this_thread::get_id()) stopEventThread(stopping);
        // Whatever the host left open is released before libusb goes.
        for (Interface* i : ifaces_) {
            if (i->claimed) libusb_release_interface(i->file->handle, i->file->interfaceNumber);
        }
        for (File* f : files_) libusb_close(f->handle);
        if (context_ != nullptr) libusb_exit(context_);
        context_ = nullptr;
    }

    std::mutex m_;
    libusb_context* context_ = nullptr;
    bool initFailed_ = false;
    std::vector<File*> files_;
    std::vector<Interface*> ifaces_;
    std::thread events_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<std::thread::id> eventThreadId_{};
};

Module module;

// ---------------------------------------------------------------------------
// Synchronous transfers
//
// libusb's synchronous calls, made on a host thread while the module's event
// thread handles events, may free their transfer while the event thread is
// still inside its completion (libusb 1.0.26). So while the event thread
// runs, a synchronous transfer is submitted asynchronously and waited for
// here, on a completion that signals under a lock of our own and touches
// nothing after it. Otherwise (no event thread, or on it) libusb's own
// synchronous calls are used.

struct Waiter {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
};

void LIBUSB_CALL wakeWaiter(libusb_transfer* t) {
    auto* w = static_cast<Waiter*>(t->user_data);
    std::lock_guard<std::mutex> lock(w->m);
    w->done = true;
    w->cv.notify_all();
}

int errorFromStatus(libusb_transfer_status status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    default: return LIBUSB_ERROR_IO;  // ERROR, CANCELLED
    }
}

// Submits a filled transfer and waits for its end; a libusb error or 0.
int submitAndWait(libusb_transfer* t, Waiter* w) {
    t->user_data = w;
    t->callback = &wakeWaiter;
    const int r = libusb_submit_transfer(t);
    if (r != LIBUSB_SUCCESS) return r;
    std::unique_lock<std::mutex> lock(w->m);
    w->cv.wait(lock, [w] { return w->done; });
    return errorFromStatus(t->status);
}

bool ownWait() { return module.eventsRunning() && !module.onEventThread(); }

// A control transfer: the bytes of the data stage, or a libusb error.
int controlTransfer(libusb_device_handle* h, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                    unsigned char* data, uint16_t length, unsigned timeoutMs) {
    if (!ownWait()) return libusb_control_transfer(h, requestType, request, value, index, data, length, timeoutMs);
    libusb_transfer* t = libusb_alloc_transfer(0);
    std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + length);
    if (t == nullptr) return LIBUSB_ERROR_NO_MEM;
    libusb_fill_control_setup(buffer.data(), requestType, request, value, index, length);
    if ((requestType & LIBUSB_ENDPOINT_IN) == 0 && length > 0)
        std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data, length);
    Waiter w;
    libusb_fill_control_transfer(t, h, buffer.data(), nullptr, nullptr, timeoutMs);
    int r = submitAndWait(t, &w);
    if (r == LIBUSB_SUCCESS) {
        r = t->actual_length;
        if ((requestType & LIBUSB_ENDPOINT_IN) != 0 && r > 0)
            std::memcpy(data, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, static_cast<size_t>(r));
    }
    libusb_free_transfer(t);
    return r;
}

// A bulk OUT transfer without a time-out; a libusb error or 0, with the
// bytes taken in *actual.
int bulkOut(libusb_device_handle* h, uint8_t pipe, const void* data, int length, int* actual) {
    // libusb takes a non-const buffer for both directions; an OUT transfer
    // only reads it.
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
    if (!ownWait()) return libusb_bulk_transfer(h, pipe, bytes, length, actual, 0);
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (t == nullptr) return LIBUSB_ERROR_NO_MEM;
    Waiter w;
    libusb_fill_bulk_transfer(t, h, pipe, bytes, length, nullptr, nullptr, 0);
    const int r = submitAndWait(t, &w);
    *actual = r == LIBUSB_ERROR_NO_MEM ? 0 : t->actual_length;
    libusb_free_transfer(t);
    return r;
}

// ---------------------------------------------------------------------------
// Discovery

PortPath portPath(libusb_device* dev) {
    PortPath p;
    p.bus = libusb_get_bus_number(dev);
    const int n = libusb_get_port_numbers(dev, p.ports, kMaxPorts);
    p.depth = n > 0 ? n : 0;
    return p;
}

// The controller interface in the cached configuration: the interface number,
// or -1. vendorSpecific tells whether its class is 0xFF.
int controllerInterface(libusb_device* dev, bool* vendorSpecific) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(dev, 0, &config) != LIBUSB_SUCCESS)
        return -1;
    int found = -1;
    for (int i = 0; i < config->bNumInterfaces && found < 0; ++i) {
        const libusb_interface& in = config->interface[i];
        if (in.num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = in.altsetting[0];
        bool out1 = false, out2 = false, in81 = false;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            out1 = out1 || ep.bEndpointAddress == kCommandPipe;
            out2 = out2 || ep.bEndpointAddress == kBlockPipe;
            in81 = in81 || ep.bEndpointAddress == kStatusPipe;
        }
        if (out1 && out2 && in81) {
            found = alt.bInterfaceNumber;
            if (vendorSpecific != nullptr) *vendorSpecific = alt.bInterfaceClass == LIBUSB_CLASS_VENDOR_SPEC;
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

bool declaresGuidMsOs20(libusb_device_handle* h, const std::string& guid, int interfaceNumber) {
    uint8_t header[5];
    int r = controlTransfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                            static_cast<uint16_t>(kBosDescriptorType << 8), 0, header, sizeof header,
                            kDiscoveryTimeoutMs);
    if (r < static_cast<int>(sizeof header)) return false;
    const uint16_t total = static_cast<uint16_t>(header[2] | (header[3] << 8));
    std::vector<uint8_t> bos(std::max<size_t>(total, sizeof header));
    r = controlTransfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                static_cast<uint16_t>(kBosDescriptorType << 8), 0, bos.data(),
                                static_cast<uint16_t>(bos.size()), kDiscoveryTimeoutMs);
    MsOs20Info info;
    if (r <= 0 || !findMsOs20(bos.data(), static_cast<size_t>(r), &info)) return false;
    std::vector<uint8_t> set(std::min<size_t>(info.setLength, kMaxDescriptorSet));
    r = controlTransfer(h, kVendorDeviceIn,
                                info.vendorCode, 0, kMsOs20DescriptorIndex, set.data(),
                                static_cast<uint16_t>(set.size()), kDiscoveryTimeoutMs);
    if (r <= 0) {
        debug("MS OS 2.0 descriptor set request failed: %s", libusb_error_name(r));
        return false;
    }
    return msOs20DeclaresGuid(set.data(), static_cast<size_t>(r), guid, interfaceNumber);
}

bool declaresGuidMsOs10(libusb_device_handle* h, const std::string& guid, int interfaceNumber) {
    uint8_t string[kMsOs10StringLength];
    int r = controlTransfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                    static_cast<uint16_t>((LIBUSB_DT_STRING << 8) | kMsOs10StringIndex), 0, string,
                                    sizeof string, kDiscoveryTimeoutMs);
    uint8_t vendorCode = 0;
    if (r <= 0 || !parseMsOs10String(string, static_cast<size_t>(r), &vendorCode)) return false;
    const uint8_t requestType = kVendorInterfaceIn;
    const uint16_t value = static_cast<uint16_t>(interfaceNumber << 8);  // interface, page 0
    uint8_t header[10];
    r = controlTransfer(h, requestType, vendorCode, value, kMsOs10ExtendedPropertiesIndex, header,
                                sizeof header, kDiscoveryTimeoutMs);
    const uint32_t total = r > 0 ? msOs10PropertiesLength(header, static_cast<size_t>(r)) : 0;
    if (total == 0) return false;
    std::vector<uint8_t> props(std::min<size_t>(total, kMaxDescriptorSet));
    r = controlTransfer(h, requestType, vendorCode, value, kMsOs10ExtendedPropertiesIndex, props.data(),
                                static_cast<uint16_t>(props.size()), kDiscoveryTimeoutMs);
    return r > 0 && msOs10DeclaresGuid(props.data(), static_cast<size_t>(r), guid);
}

// Does the device carry the controller interface declaring the GUID?
bool isController(libusb_device* dev, const std::string& guid, const std::vector<UsbId>& ids) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(dev, &d) != LIBUSB_SUCCESS || d.bDeviceClass == LIBUSB_CLASS_HUB) return false;
    const std::string where = formatPath(portPath(dev));
    bool vendorSpecific = false;
    const int interfaceNumber = controllerInterface(dev, &vendorSpecific);
    if (interfaceNumber < 0) return false;  // not plausible: never asked anything
    for (const UsbId& id : ids) {
        if (id.vendor == d.idVendor && id.product == d.idProduct) {
            debug("%s %04x:%04x: listed by TELVO_USB_IDS", where.c_str(), d.idVendor, d.idProduct);
            return true;
        }
    }
    if (!vendorSpecific) return false;
    libusb_device_handle* h = nullptr;
    const int r = libusb_open(dev, &h);
    if (r != LIBUSB_SUCCESS) {
        debug("%s %04x:%04x: a candidate, but it cannot be opened (%s): check the udev rule", where.c_str(),
              d.idVendor, d.idProduct, libusb_error_name(r));
        return false;
    }
    bool found = d.bcdUSB >= kFirstBosVersion && declaresGuidMsOs20(h, guid, interfaceNumber);
    const char* how = "MS OS 2.0 descriptors";
    if (!found) {
        found = declaresGuidMsOs10(h, guid, interfaceNumber);
        how = "MS OS 1.0 descriptors";
    }
    libusb_close(h);
    debug("%s %04x:%04x: %s %s", where.c_str(), d.idVendor, d.idProduct, found ? "declares the GUID in" : "a candidate",
          found ? how : "without the GUID in its descriptors");
    return found;
}

libusb_device* findByPath(libusb_device** list, ssize_t n, const PortPath& wanted) {
    for (ssize_t i = 0; i < n; ++i)
        if (portPath(list[i]) == wanted) return list[i];
    return nullptr;
}

// ---------------------------------------------------------------------------
// The status read

void submitFailed(Interface* i, int r) {
    debug("status read resubmission failed: %s; the read stays pending", libusb_error_name(r));
    i->read = ReadState::lost;
}

void LIBUSB_CALL readDone(libusb_transfer* t) {
    auto* i = static_cast<Interface*>(t->user_data);
    std::unique_lock<std::mutex> lock(i->m);
    if (i->cancelling || i->orphaned) {
        i->read = ReadState::idle;
        if (i->orphaned) {
            lock.unlock();
            libusb_free_transfer(t);
            delete i;
            return;
        }
        i->changed.notify_all();
        return;
    }
    bool resubmit = false;
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        if (t->actual_length > 0) {
            i->transientErrors = 0;
            const auto got = std::min<uint32_t>(static_cast<uint32_t>(t->actual_length), i->count);
            std::memcpy(i->target, i->bounce.data(), got);
            std::memset(i->target + got, 0, i->count - got);
            telvo_backend_completion done = i->done;
            void* context = i->context;
            i->read = ReadState::idle;
            i->done = nullptr;
            i->context = nullptr;
            lock.unlock();
            done(context);
            return;
        }
        resubmit = true;  // a zero-length packet is not a frame
        break;
    case LIBUSB_TRANSFER_STALL:
        libusb_clear_halt(t->dev_handle, kStatusPipe);
        resubmit = ++i->transientErrors <= kMaxTransientErrors;
        break;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_TIMED_OUT:
    case LIBUSB_TRANSFER_OVERFLOW:
        resubmit = ++i->transientErrors <= kMaxTransientErrors;
        break;
    default:  // NO_DEVICE, or cancelled by someone else
        break;
    }
    if (!resubmit) {
        debug("status read ended (%s); it stays pending", libusb_error_name(t->status == LIBUSB_TRANSFER_NO_DEVICE
                                                                                 ? LIBUSB_ERROR_NO_DEVICE
                                                                                 : LIBUSB_ERROR_IO));
        i->read = ReadState::lost;
        return;
    }
    const int r = libusb_submit_transfer(t);
    if (r != LIBUSB_SUCCESS) submitFailed(i, r);
}

// Ends the interface: cancels its read and waits for it, releases it and
// reattaches the kernel driver. The handle is already out of the registry.
void endInterface(Interface* i) {
    bool deleteHere = true;
    {
        std::unique_lock<std::mutex> lock(i->m);
        if (i->read == ReadState::submitted) {
            if (module.onEventThread()) {
                // Called from a completion: waiting here would wait for
                // ourselves. The read's end deletes the interface instead,
                // and never calls back.
                i->orphaned = true;
                deleteHere = false;
                libusb_cancel_transfer(i->transfer);
            } else {
                i->cancelling = true;
                libusb_cancel_transfer(i->transfer);
                i->changed.wait(lock, [i] { return i->read != ReadState::submitted; });
            }
        }
    }
    File* f = i->file;
    if (i->claimed) libusb_release_interface(f->handle, f->interfaceNumber);
    if (i->detached) libusb_attach_kernel_driver(f->handle, f->interfaceNumber);
    f->iface = nullptr;
    if (deleteHere) {
        libusb_free_transfer(i->transfer);
        delete i;
    }
    module.interfaceGone();
}

}  // namespace
}  // namespace telvo_usb

using namespace telvo_usb;

extern "C" {

uint32_t telvo_backend_abi_version(void) { return TELVO_BACKEND_ABI_VERSION; }

int telvo_backend_list(const telvo_guid* guid, uint32_t index, char* path, uint32_t capacity, uint32_t* required) {
    if (moduleGone) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    if (guid == nullptr) return kErrorInvalidParameter;
    libusb_context* ctx = module.context();
    if (ctx == nullptr) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    std::string bad;
    const std::vector<UsbId> ids = parseIdList(std::getenv("TELVO_USB_IDS"), &bad);  // NOLINT(concurrency-mt-unsafe)
    if (!bad.empty()) debug("TELVO_USB_IDS: ignoring %s (expected VID:PID in hexadecimal)", bad.c_str());
    const std::string text = formatGuid(*guid);

    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) return errorFromLibusb(static_cast<int>(n));
    std::vector<PortPath> found;
    for (ssize_t k = 0; k < n; ++k)
        if (isController(list[k], text, ids)) found.push_back(portPath(list[k]));
    libusb_free_device_list(list, 1);
    std::sort(found.begin(), found.end());

    if (index >= found.size()) return TELVO_BACKEND_ERROR_NO_MORE_ITEMS;
    const std::string p = formatPath(found[index]);
    const auto needed = static_cast<uint32_t>(p.size() + 1);
    if (required != nullptr) *required = needed;
    if (path == nullptr || capacity < needed) return TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(path, p.c_str(), needed);
    return TELVO_BACKEND_OK;
}

int telvo_backend_open(const char* path, telvo_backend_file* file) {
    if (moduleGone) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    if (file == nullptr) return kErrorInvalidParameter;
    *file = nullptr;
    PortPath wanted;
    if (!parsePath(path, &wanted)) return TELVO_BACKEND_ERROR_FILE_NOT_FOUND;
    libusb_context* ctx = module.context();
    if (ctx == nullptr) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) return errorFromLibusb(static_cast<int>(n));
    libusb_device* dev = findByPath(list, n, wanted);
    int result = TELVO_BACKEND_ERROR_FILE_NOT_FOUND;
    const int interfaceNumber = dev != nullptr ? controllerInterface(dev, nullptr) : -1;
    if (dev != nullptr && interfaceNumber < 0) result = TELVO_BACKEND_ERROR_GEN_FAILURE;
    libusb_device_handle* h = nullptr;
    if (interfaceNumber >= 0) result = errorFromLibusb(libusb_open(dev, &h));
    libusb_free_device_list(list, 1);
    if (result != TELVO_BACKEND_OK) {
        debug("open %s: error %d", path, result);
        return result;
    }
    auto* f = new (std::nothrow) File;
    if (f == nullptr) {
        libusb_close(h);
        return kErrorNotEnoughMemory;
    }
    f->handle = h;
    f->interfaceNumber = interfaceNumber;
    f->path = path;
    module.addFile(f);
    *file = f;
    return TELVO_BACKEND_OK;
}

void telvo_backend_close(telvo_backend_file file) {
    if (moduleGone) return;
    File* f = module.file(file, true);
    if (f == nullptr) return;
    if (f->iface != nullptr && module.iface(f->iface, true) != nullptr) endInterface(f->iface);
    libusb_close(f->handle);
    delete f;
}

int telvo_backend_initialize(telvo_backend_file file, telvo_backend_interface* iface) {
    if (moduleGone) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    if (iface == nullptr) return kErrorInvalidParameter;
    *iface = nullptr;
    File* f = module.file(file);
    if (f == nullptr) return kErrorInvalidHandle;
    if (f->iface != nullptr) return kErrorBusy;
    auto* i = new (std::nothrow) Interface;
    libusb_transfer* t = i != nullptr ? libusb_alloc_transfer(0) : nullptr;
    if (t == nullptr) {
        delete i;
        return kErrorNotEnoughMemory;
    }
    i->file = f;
    i->transfer = t;
    int r = libusb_kernel_driver_active(f->handle, f->interfaceNumber);
    if (r == 1) {
        r = libusb_detach_kernel_driver(f->handle, f->interfaceNumber);
        if (r == LIBUSB_SUCCESS) i->detached = true;
        debug("%s: kernel driver detached (%s)", f->path.c_str(), libusb_error_name(r));
    }
    r = libusb_claim_interface(f->handle, f->interfaceNumber);
    if (r != LIBUSB_SUCCESS) {
        debug("%s: claiming interface %d failed: %s", f->path.c_str(), f->interfaceNumber, libusb_error_name(r));
        if (i->detached) libusb_attach_kernel_driver(f->handle, f->interfaceNumber);
        libusb_free_transfer(t);
        delete i;
        return errorFromLibusb(r);
    }
    i->claimed = true;
    f->iface = i;
    module.addInterface(i);
    *iface = i;
    return TELVO_BACKEND_OK;
}

void telvo_backend_free(telvo_backend_interface iface) {
    if (moduleGone) return;
    Interface* i = module.iface(iface, true);
    if (i != nullptr) endInterface(i);
}

int telvo_backend_write_pipe(telvo_backend_interface iface, uint8_t pipe, const void* data, uint32_t count,
                             uint32_t* transferred) {
    if (transferred != nullptr) *transferred = 0;
    if (moduleGone) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    Interface* i = module.iface(iface);
    if (i == nullptr) return kErrorInvalidHandle;
    if ((pipe != kCommandPipe && pipe != kBlockPipe) || (data == nullptr && count > 0) ||
        count > static_cast<uint32_t>(INT32_MAX))
        return kErrorInvalidParameter;
    int actual = 0;
    const int r = bulkOut(i->file->handle, pipe, data, static_cast<int>(count), &actual);
    if (transferred != nullptr) *transferred = static_cast<uint32_t>(actual);
    return errorFromLibusb(r);
}

int telvo_backend_read_pipe_async(telvo_backend_interface iface, uint8_t pipe, void* buffer, uint32_t count,
                                  telvo_backend_completion done, void* context) {
    if (moduleGone) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    Interface* i = module.iface(iface);
    if (i == nullptr) return kErrorInvalidHandle;
    if (pipe != kStatusPipe || buffer == nullptr || done == nullptr || count == 0 ||
        count > static_cast<uint32_t>(INT32_MAX))
        return kErrorInvalidParameter;
    std::lock_guard<std::mutex> lock(i->m);
    if (i->read == ReadState::lost) return kErrorDeviceNotConnected;
    if (i->read == ReadState::submitted) return TELVO_BACKEND_ERROR_GEN_FAILURE;  // one at a time
    if (i->bounce.size() < count) i->bounce.resize(count);
    libusb_fill_bulk_transfer(i->transfer, i->file->handle, kStatusPipe, i->bounce.data(), static_cast<int>(count),
                              &readDone, i, 0);
    i->target = static_cast<uint8_t*>(buffer);
    i->count = count;
    i->done = done;
    i->context = context;
    i->transientErrors = 0;
    const int r = libusb_submit_transfer(i->transfer);
    if (r != LIBUSB_SUCCESS) {
        i->done = nullptr;
        i->context = nullptr;
        if (r == LIBUSB_ERROR_NO_DEVICE) i->read = ReadState::lost;
        return errorFromLibusb(r);
    }
    i->read = ReadState::submitted;
    return TELVO_BACKEND_OK;
}

int telvo_backend_control_transfer(telvo_backend_interface iface, const uint8_t setup[8], void* buffer,
                                   uint32_t count, uint32_t* transferred) {
    if (transferred != nullptr) *transferred = 0;
    if (moduleGone) return TELVO_BACKEND_ERROR_GEN_FAILURE;
    Interface* i = module.iface(iface);
    if (i == nullptr) return kErrorInvalidHandle;
    if (setup == nullptr) return kErrorInvalidParameter;
    const uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
    const uint16_t index = static_cast<uint16_t>(setup[4] | (setup[5] << 8));
    const uint16_t length = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
    if (length > count || (buffer == nullptr && length > 0)) return kErrorInvalidParameter;
    const int r = controlTransfer(i->file->handle, setup[0], setup[1], value, index,
                                  static_cast<unsigned char*>(buffer), length, kControlTimeoutMs);
    if (r < 0) return errorFromLibusb(r);
    if (transferred != nullptr) *transferred = static_cast<uint32_t>(r);
    return TELVO_BACKEND_OK;
}

void telvo_backend_show_message(const char* text, const char* caption) {
    (void)std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "telvo", text != nullptr ? text : "");
    (void)std::fflush(stderr);
}

}  // extern "C"
