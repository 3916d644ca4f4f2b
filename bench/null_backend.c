/* A device backend for benchmarks: one device that accepts every write and
 * discards it, answers the firmware request, and completes every status read
 * at once with an idle frame (buffer empty). It costs next to nothing, so
 * the benchmarks measure the library. */
#include <stdint.h>
#include <string.h>

#include "telvo/telvo_backend.h"

#define EXPORT __attribute__((visibility("default")))

static int device;

EXPORT uint32_t telvo_backend_abi_version(void) { return TELVO_BACKEND_ABI_VERSION; }

EXPORT int telvo_backend_list(const telvo_guid* guid, uint32_t index, char* path, uint32_t capacity,
                              uint32_t* required) {
    (void)guid;
    if (index != 0) return TELVO_BACKEND_ERROR_NO_MORE_ITEMS;
    *required = 5;
    if (capacity < 5) return TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER;
    memcpy(path, "null", 5);
    return 0;
}

EXPORT int telvo_backend_open(const char* path, telvo_backend_file* file) {
    (void)path;
    *file = &device;
    return 0;
}

EXPORT void telvo_backend_close(telvo_backend_file file) { (void)file; }

EXPORT int telvo_backend_initialize(telvo_backend_file file, telvo_backend_interface* iface) {
    *iface = file;
    return 0;
}

EXPORT void telvo_backend_free(telvo_backend_interface iface) { (void)iface; }

EXPORT int telvo_backend_write_pipe(telvo_backend_interface iface, uint8_t pipe, const void* data,
                                    uint32_t count, uint32_t* transferred) {
    (void)iface;
    (void)pipe;
    (void)data;
    *transferred = count;
    return 0;
}

EXPORT int telvo_backend_read_pipe_async(telvo_backend_interface iface, uint8_t pipe, void* buffer,
                                         uint32_t count, telvo_backend_completion done, void* context) {
    (void)iface;
    (void)pipe;
    memset(buffer, 0, count);
    if (count > 0) ((uint8_t*)buffer)[0] = 60;
    done(context);
    return 0;
}

EXPORT int telvo_backend_control_transfer(telvo_backend_interface iface, const uint8_t setup[8], void* buffer,
                                          uint32_t count, uint32_t* transferred) {
    (void)iface;
    (void)setup;
    memcpy(buffer, "00.01", count < 5 ? count : 5);
    *transferred = count < 5 ? count : 5;
    return 0;
}

EXPORT void telvo_backend_show_message(const char* text, const char* caption) {
    (void)text;
    (void)caption;
}
