// The POSIX face of the simulated controller: the telvo_backend_* entry
// points that the library binds by name in WinUSB's place.
//
// The module is built with hidden visibility; the backend header is
// included under default visibility so that exactly these entry points (and
// the tsim_* API) are exported.
#pragma GCC visibility push(default)
#include "telvo/telvo_backend.h"
#pragma GCC visibility pop

#include "sim_device.h"

// Once the module is being unloaded there is no simulator: every call then
// fails or does nothing.
#define SIM_OR(gone)  \
    tsim::Locked sim; \
    if (!sim) return gone

extern "C" {

uint32_t telvo_backend_abi_version(void) {
    return TELVO_BACKEND_ABI_VERSION;
}

int telvo_backend_list(const telvo_guid* guid, uint32_t index, char* path, uint32_t capacity,
                       uint32_t* required) {
    SIM_OR(TELVO_BACKEND_ERROR_GEN_FAILURE);
    return sim->usb.list(guid, index, path, capacity, required);
}

int telvo_backend_open(const char* path, telvo_backend_file* file) {
    SIM_OR(TELVO_BACKEND_ERROR_FILE_NOT_FOUND);
    return sim->usb.open(path, file);
}

void telvo_backend_close(telvo_backend_file file) {
    SIM_OR();
    sim->usb.close(file);
}

int telvo_backend_initialize(telvo_backend_file file, telvo_backend_interface* iface) {
    SIM_OR(TELVO_BACKEND_ERROR_GEN_FAILURE);
    return sim->usb.initialize(file, iface);
}

void telvo_backend_free(telvo_backend_interface iface) {
    SIM_OR();
    sim->usb.free(iface);
}

int telvo_backend_write_pipe(telvo_backend_interface iface, uint8_t pipe, const void* data,
                             uint32_t count, uint32_t* transferred) {
    if (tsim::Device* device = tsim::instance()) device->waitWhileWritesHeld();
    SIM_OR(TELVO_BACKEND_ERROR_GEN_FAILURE);
    return sim->usb.writePipe(iface, pipe, data, count, transferred);
}

int telvo_backend_read_pipe_async(telvo_backend_interface iface, uint8_t pipe, void* buffer,
                                  uint32_t count, telvo_backend_completion done, void* context) {
    SIM_OR(TELVO_BACKEND_ERROR_GEN_FAILURE);
    return sim->usb.readPipeAsync(iface, pipe, buffer, count, done, context);
}

int telvo_backend_control_transfer(telvo_backend_interface iface, const uint8_t setup[8],
                                   void* buffer, uint32_t count, uint32_t* transferred) {
    SIM_OR(TELVO_BACKEND_ERROR_GEN_FAILURE);
    return sim->usb.controlTransfer(iface, setup, buffer, count, transferred);
}

void telvo_backend_show_message(const char* text, const char* caption) {
    // Not under the lock: the hook it calls runs outside it.
    if (tsim::Device* sim = tsim::instance()) sim->showMessage(text, caption);
}

}  // extern "C"
