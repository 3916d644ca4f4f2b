/*
 * telvo_backend.h - the device backend ABI of telvo's POSIX build.
 *
 * On Windows telvo reaches the controller through WinUSB. Elsewhere it loads
 * a device backend module in its place: a shared library that exports the C
 * functions below. The library binds the module while it is itself being
 * loaded, exactly as the Windows build binds WinUsb.dll: dlopen, then dlsym of
 * every entry point by name. Exactly one module is bound per process, so it
 * must be chosen before the library is loaded (a program that picks it at
 * run time sets the variable and then loads libtelvo.so with dlopen, or
 * starts itself again).
 *
 * Which module: the environment variable TELVO_BACKEND names it, either as a
 * file name or as a path (a name that contains '/', given to dlopen as it
 * is). A file name is looked for first in the directory that holds the telvo
 * library itself, then in the folder telvo/ beside it (where an installed
 * telvo keeps its modules, e.g. /usr/lib/<triplet>/telvo/), then by the
 * dynamic loader's usual search (LD_LIBRARY_PATH, the ld.so cache, the system
 * directories). Without the variable, or with it
 * empty, the module is TELVO_BACKEND_MODULE_NAME ("libtelvo_usb.so"), the
 * real USB backend. The simulated controller is "libtelvo_sim.so":
 *
 *     TELVO_BACKEND=libtelvo_sim.so build/native/bin/telvo_device_tests
 *
 * A module that cannot be loaded, that lacks any entry point, or whose
 * telvo_backend_abi_version() differs from TELVO_BACKEND_ABI_VERSION is
 * treated like a missing WinUSB: none of its functions is ever called (the
 * version query only once all entry points were found), and telvo_Open ends
 * in the open-failed state when a device would have to be listed. If
 * TELVO_BACKEND named it, the library writes one line to stderr while it
 * loads, with the name as given and the reason:
 *
 *     telvo: backend "NAME": <the dynamic loader's message>
 *     telvo: backend "NAME": missing entry point telvo_backend_free
 *     telvo: backend "NAME": ABI version 2, expected 1
 *
 * A default module that is absent is not reported (no controller software
 * installed is a normal state); one that is present but not a backend of
 * this ABI is reported the same way.
 *
 * Error numbers: every function that can fail returns 0 on success or an
 * error number in the Windows error numbering (2 not found, 31 device not
 * functioning, 122 insufficient buffer, 259 no more items, ...). telvo turns
 * them into its internal HRESULT-form status codes; none reaches the host.
 *
 * Threads: telvo calls the module from the host's threads, serialising the
 * two kinds of write itself. A completion callback may be invoked from any
 * thread, including from inside telvo_backend_read_pipe_async.
 */
#ifndef TELVO_TELVO_BACKEND_H
#define TELVO_TELVO_BACKEND_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TELVO_BACKEND_ABI_VERSION 1u

/* The environment variable that names the module, and the module used
 * without it. */
#define TELVO_BACKEND_VARIABLE "TELVO_BACKEND"
#define TELVO_BACKEND_MODULE_NAME "libtelvo_usb.so"

/* Error numbers used by the ABI (Windows numbering). */
#define TELVO_BACKEND_OK 0
#define TELVO_BACKEND_ERROR_FILE_NOT_FOUND 2
#define TELVO_BACKEND_ERROR_GEN_FAILURE 31
#define TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER 122
#define TELVO_BACKEND_ERROR_NO_MORE_ITEMS 259

/* A device-interface class GUID, in the Windows GUID layout. */
typedef struct telvo_guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
} telvo_guid;

typedef void* telvo_backend_file;      /* an opened device (file handle) */
typedef void* telvo_backend_interface; /* an initialised USB interface */

/* Completion of an asynchronous read; context is what the caller passed. */
typedef void (*telvo_backend_completion)(void* context);

/* Returns TELVO_BACKEND_ABI_VERSION of the header the module was built with. */
uint32_t telvo_backend_abi_version(void);

/*
 * Lists the present interfaces of a class GUID. index 0 is the first
 * interface the platform lists. On success copies its path with the NUL into
 * path and stores the length including the NUL in *required. If capacity is
 * too small, stores the required length and returns
 * TELVO_BACKEND_ERROR_INSUFFICIENT_BUFFER. Returns
 * TELVO_BACKEND_ERROR_NO_MORE_ITEMS when there is no interface at index.
 */
int telvo_backend_list(const telvo_guid* guid, uint32_t index, char* path,
                       uint32_t capacity, uint32_t* required);

/* Opens a listed device for reading and writing (shared). */
int telvo_backend_open(const char* path, telvo_backend_file* file);
void telvo_backend_close(telvo_backend_file file);

/* Initialises USB access on an opened device. */
int telvo_backend_initialize(telvo_backend_file file, telvo_backend_interface* iface);

/*
 * Releases USB access. Any read still in flight on the interface is
 * cancelled: once this returns, its completion callback is never invoked.
 */
void telvo_backend_free(telvo_backend_interface iface);

/*
 * Synchronous write of count bytes on an OUT pipe (0x01 commands, 0x02
 * blocks). *transferred receives the bytes the device accepted.
 */
int telvo_backend_write_pipe(telvo_backend_interface iface, uint8_t pipe,
                             const void* data, uint32_t count, uint32_t* transferred);

/*
 * Starts an asynchronous read of up to count bytes from an IN pipe (0x81)
 * into buffer. When the read completes, the data is in buffer and done(context)
 * is called once. Returns 0 when the read was started; on an error no
 * completion follows. At most one read is in flight per interface.
 */
int telvo_backend_read_pipe_async(telvo_backend_interface iface, uint8_t pipe,
                                  void* buffer, uint32_t count,
                                  telvo_backend_completion done, void* context);

/*
 * Synchronous control transfer with the 8-byte setup packet as laid out by
 * USB. The data stage of a device-to-host request lands in buffer.
 */
int telvo_backend_control_transfer(telvo_backend_interface iface, const uint8_t setup[8],
                                   void* buffer, uint32_t count, uint32_t* transferred);

/*
 * Presents the library's one failure message to the user (Windows shows a
 * modal box with an OK button and the exclamation icon). Returns only once
 * the user has dismissed it; a module without a user interface may return at
 * once after recording or printing it.
 */
void telvo_backend_show_message(const char* text, const char* caption);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TELVO_TELVO_BACKEND_H */
