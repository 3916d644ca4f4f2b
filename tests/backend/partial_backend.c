/* A device backend module that lacks one entry point
 * (telvo_backend_show_message) but would otherwise list and open a device.
 * The library must treat it as missing and call none of it; every call is
 * counted so the test can see that. Built a second time complete but with
 * another ABI version (PARTIAL_BACKEND_COMPLETE, PARTIAL_BACKEND_ABI): then
 * only the version query may be called. */
#include <stdint.h>
#include <string.h>

#include "telvo/telvo_backend.h"

#ifndef PARTIAL_BACKEND_ABI
#define PARTIAL_BACKEND_ABI TELVO_BACKEND_ABI_VERSION
#endif

static int calls;

__attribute__((visibility("default"))) int partial_backend_calls(void) { return calls; }

__attribute__((visibility("default"))) uint32_t telvo_backend_abi_version(void) {
    ++calls;
    return PARTIAL_BACKEND_ABI;
}
__attribute__((visibility("default"))) int telvo_backend_list(const telvo_guid* guid, uint32_t index, char* path,
                                                              uint32_t capacity, uint32_t* required) {
    (void)guid;
    ++calls;
    if (index != 0) return TELVO_BACKEND_ERROR_NO_MORE_ITEMS;
    *required = 5;
    if (capacity < 5) return TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER;
    memcpy(path, "fake", 5);
    return 0;
}
__attribute__((visibility("default"))) int telvo_backend_open(const char* path, telvo_backend_file* file) {
    (void)path;
    ++calls;
    *file = &calls;
    return 0;
}
__attribute__((visibility("default"))) void telvo_backend_close(telvo_backend_file file) {
    (void)file;
    ++calls;
}
__attribute__((visibility("default"))) int telvo_backend_initialize(telvo_backend_file file,
                                                                    telvo_backend_interface* iface) {
    ++calls;
    *iface = file;
    return 0;
}
__attribute__((visibility("default"))) void telvo_backend_free(telvo_backend_interface iface) {
    (void)iface;
    ++calls;
}
__attribute__((visibility("default"))) int telvo_backend_write_pipe(telvo_backend_interface iface, uint8_t pipe,
                                                                    const void* data, uint32_t count,
                                                                    uint32_t* transferred) {
    (void)iface;
    (void)pipe;
    (void)data;
    ++calls;
    *transferred = count;
    return 0;
}
__attribute__((visibility("default"))) int telvo_backend_read_pipe_async(telvo_backend_interface iface,
                                                                         uint8_t pipe, void* buffer,
                                                                         uint32_t count,
                                                                         telvo_backend_completion done,
                                                                         void* context) {
    (void)iface;
    (void)pipe;
    (void)buffer;
    (void)count;
    (void)done;
    (void)context;
    ++calls;
    return 0;
}
__attribute__((visibility("default"))) int telvo_backend_control_transfer(telvo_backend_interface iface,
                                                                          const uint8_t setup[8], void* buffer,
                                                                          uint32_t count, uint32_t* transferred) {
    (void)iface;
    (void)setup;
    ++calls;
    memcpy(buffer, "99.99", count < 5 ? count : 5);
    *transferred = count;
    return 0;
}
#if defined(PARTIAL_BACKEND_COMPLETE)
__attribute__((visibility("default"))) void telvo_backend_show_message(const char* text, const char* caption) {
    (void)text;
    (void)caption;
    ++calls;
}
#else
/* telvo_backend_show_message is missing on purpose. */
#endif
