// The POSIX USB binding: the device backend module's entry points, one typed
// field each, bound once while the library loads (usb_posix.cpp). Internal
// to the platform layer; white-box tests may replace bound entries.
#pragma once

#include <cstdint>

#include "telvo/telvo_backend.h"

namespace telvo::platform {

// Either every field is bound (a module of this ABI version with every entry
// point) or none is: a partial or mismatched module is not used at all.
// Error numbers are the backend's (Windows numbering, 0 for success).
struct UsbApi {
    void* module;  // the dlopen handle of the bound module, or null

    // The ABI version the module was built for; must be TELVO_BACKEND_ABI_VERSION.
    uint32_t (*abiVersion)(void);
    // Copies the path of the index-th present interface of guid (with its
    // NUL); NO_MORE_ITEMS past the last, INSUFFICIENT_BUFFER with *required.
    int (*list)(const telvo_guid* guid, uint32_t index, char* path, uint32_t capacity,
                uint32_t* required);
    // Opens a listed device for shared reading and writing.
    int (*open)(const char* path, telvo_backend_file* file);
    void (*close)(telvo_backend_file file);
    // USB access on an opened device.
    int (*initialize)(telvo_backend_file file, telvo_backend_interface* iface);
    // Releases USB access; a read in flight is cancelled and never completes.
    void (*free)(telvo_backend_interface iface);
    // Synchronous OUT write; *transferred is what the device accepted.
    int (*writePipe)(telvo_backend_interface iface, uint8_t pipe, const void* data, uint32_t count,
                     uint32_t* transferred);
    // Starts an IN read; done(context) is called once when it completed, and
    // never when starting failed. At most one read per interface.
    int (*readPipeAsync)(telvo_backend_interface iface, uint8_t pipe, void* buffer, uint32_t count,
                         telvo_backend_completion done, void* context);
    // Synchronous control transfer with the 8-byte USB setup packet.
    int (*controlTransfer)(telvo_backend_interface iface, const uint8_t* setup, void* buffer,
                           uint32_t count, uint32_t* transferred);
    // Presents the failure message; returns once it was dismissed (or recorded).
    void (*showMessage)(const char* text, const char* caption);
};

extern UsbApi usbApi;

}  // namespace telvo::platform
