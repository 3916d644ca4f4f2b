/*
 * telvo_sim.h - control API of the simulated motion controller.
 *
 * The simulator is a telvo device backend module (see telvo_backend.h): the
 * library binds it like a real USB backend, and tests, benchmarks and the host
 * tool steer it through the functions below. It is deterministic: nothing
 * happens on its own except when the caller advances its clock
 * (tsim_advance_ms), unless real-time mode is switched on for the host tool.
 *
 * It meets what the library relies on from a controller and nothing more:
 * the firmware request, command packets on pipe 0x01, motion blocks of 52-byte
 * wire segments on pipe 0x02, 60-byte status frames on pipe 0x81. It records
 * every write, keeps the configuration it was sent, executes segments one per
 * millisecond of its clock, homes, probes, and checks what it receives,
 * recording protocol errors.
 *
 * All functions are thread-safe (one internal mutex).
 */
#ifndef TELVO_SIM_H
#define TELVO_SIM_H

#include <stdint.h>

#if defined(_WIN32)
#  define TSIM_API
#else
#  define TSIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- whole-simulator control ------------------------------------------ */

/* Back to the state after load: one device listed at path
 * "sim://controller/0", firmware answer "01.23", no faults, machine at rest at
 * position 0, clock 0, buffer size 1000, frame period 1 ms, records cleared,
 * scripted mode off (machine mode). Any open device is forgotten. */
TSIM_API void tsim_reset(void);

/* Number of controllers listed (0, 1 or 2). With 2, index 0 is the first
 * listed; writes are recorded with the device index that received them. */
TSIM_API void tsim_set_device_count(int count);
/* Path listed for device index (0 or 1); NUL-terminated, any length. */
TSIM_API void tsim_set_device_path(int index, const char* path);

/* Bytes the controller answers to the firmware request (0..5 bytes). */
TSIM_API void tsim_set_firmware(const char* bytes, int length);

/* ---- fault injection --------------------------------------------------- */

typedef enum tsim_fault {
    TSIM_FAULT_LIST_FAILS = 1,        /* listing fails with an error (not "none") */
    TSIM_FAULT_PATH_QUERY_FAILS,      /* the path of a listed device cannot be read */
    TSIM_FAULT_OPEN_FAILS,            /* opening the path fails */
    TSIM_FAULT_INIT_FAILS,            /* USB initialisation fails */
    TSIM_FAULT_CONTROL_FAILS,         /* the firmware request fails */
    TSIM_FAULT_COMMAND_WRITE_FAILS,   /* a write on pipe 0x01 fails, nothing accepted */
    TSIM_FAULT_COMMAND_WRITE_SHORT,   /* a write on pipe 0x01 accepts one byte less */
    TSIM_FAULT_BLOCK_WRITE_FAILS,     /* a write on pipe 0x02 fails, nothing accepted */
    TSIM_FAULT_READ_NEVER_COMPLETES,  /* status reads are accepted but never complete */
    TSIM_FAULT_READ_START_FAILS       /* starting a status read fails */
} tsim_fault;

/* Arms a fault. It fires on the (skip+1)-th matching operation from now and,
 * when repeat is 0, only once; with repeat 1 it fires on every matching
 * operation from then on until cleared. */
TSIM_API void tsim_inject(tsim_fault fault, int skip, int repeat);
TSIM_API void tsim_clear_faults(void);

/* ---- what the library sent ------------------------------------------- */

/* Every write, in order. pipe is 0x01 or 0x02. Failed and short writes are
 * recorded too (with the bytes the library offered) and flagged. */
TSIM_API int tsim_write_count(void);
/* Copies write i (0-based) into buffer (at most capacity bytes); returns its
 * full length, or -1 when i is out of range. pipe, device and failed may be
 * null. */
TSIM_API int tsim_write_get(int i, uint8_t* pipe, uint8_t* buffer, int capacity,
                            int* device, int* failed);
TSIM_API void tsim_clear_writes(void);

/* Counts of control transfers (firmware requests) and of started status reads. */
TSIM_API int tsim_control_count(void);
TSIM_API int tsim_read_count(void);
/* 1 while a status read is in flight. */
TSIM_API int tsim_read_pending(void);
/* Open/initialised state as the device sees it: 1 while an interface is
 * initialised and not freed. */
TSIM_API int tsim_device_open(void);

/* Messages the library presented through telvo_backend_show_message. */
TSIM_API int tsim_message_count(void);
TSIM_API const char* tsim_message_text(int i);
TSIM_API const char* tsim_message_caption(int i);
/* Called from inside telvo_backend_show_message, the way a host's message
 * loop runs while a modal box is up; null to remove. */
TSIM_API void tsim_set_message_hook(void (*hook)(void* context), void* context);

/* The configuration blocks last received (code 9: 262 bytes, code 11: 112
 * bytes). Return 1 and copy when one was received, else 0. */
TSIM_API int tsim_axis_config(uint8_t out[262]);
TSIM_API int tsim_io_config(uint8_t out[112]);

/* ---- status frames ---------------------------------------------------- */

/* Scripted mode (1): frames come only from tsim_push_frame, in order, one
 * per completed read; a read issued while the queue is empty stays pending
 * until a frame is pushed. Machine mode (0, the default): the machine builds
 * a fresh frame every frame period of its clock; a pending read completes at
 * the first frame due at or after its issue, and a read issued when a frame
 * is due completes at once. Pushed frames take precedence in both modes. */
TSIM_API void tsim_set_scripted(int scripted);
/* Queues a raw 60-byte frame (any first byte, for corrupt-frame tests). */
TSIM_API void tsim_push_frame(const uint8_t frame[60]);

/* Field view of a frame, for building frames to push. */
typedef struct tsim_frame {
    uint8_t length;        /* 60 for a valid frame */
    uint8_t state;
    uint8_t event;
    uint8_t flags;
    uint16_t deviceWord0, deviceWord1;
    int32_t position[7];
    uint32_t spindlePeriod;
    uint16_t bufferLevel;
    uint32_t deviceInt0, deviceInt1, deviceInt2;
    uint8_t deviceByte;
    uint8_t eventAxis;
    uint16_t segmentIndex;
    uint16_t deviceWord2;
} tsim_frame;
/* Little-endian packing of a tsim_frame into the 60 wire bytes. */
TSIM_API void tsim_frame_encode(const tsim_frame* frame, uint8_t out[60]);
TSIM_API void tsim_frame_decode(const uint8_t in[60], tsim_frame* frame);
/* The frame the machine would report now (machine mode). */
TSIM_API void tsim_current_frame(tsim_frame* frame);

/* ---- the machine ------------------------------------------------------ */

/* Controller-side segment buffer size (300..1000; default 1000). */
TSIM_API void tsim_set_buffer_size(int size);
/* Milliseconds between status frames in machine mode (default 1). */
TSIM_API void tsim_set_frame_period(int ms);
/* Advances the clock: every millisecond the machine executes one buffered
 * segment, moves jogging and homing axes, and makes frames due. */
TSIM_API void tsim_advance_ms(int ms);
TSIM_API int64_t tsim_clock_ms(void);
/* Real-time mode for the host tool: a thread advances the clock at speed
 * times real time (0 stops the thread). */
TSIM_API void tsim_set_realtime(double speed);

/* Step counters of axes 0..6 and the sub-step phase (millionths) of 0..5. */
TSIM_API void tsim_position(int32_t out[7]);
TSIM_API void tsim_set_position(const int32_t position[7]);
/* Segments held, executed so far, blocks received. */
TSIM_API int tsim_buffer_level(void);
TSIM_API int64_t tsim_executed_count(void);
TSIM_API int64_t tsim_block_count(void);

/* Log of executed segments: for each, the slot index it carried and the
 * step counters of axes 0..5 after it ran. Keeps the newest entries up to
 * its capacity (1 << 20); tsim_executed_get counts from the first ever
 * executed segment and returns 0 when that entry is no longer kept. */
typedef struct tsim_executed {
    uint16_t slotIndex;
    uint8_t segmentCode;
    uint8_t segmentAux;
    int32_t position[6];
} tsim_executed;
TSIM_API int tsim_executed_get(int64_t n, tsim_executed* out);

/* Protocol errors seen (start phase discontinuity, buffer overrun, bad
 * complement, bad length, unknown code, short block); text of error i. */
TSIM_API int tsim_protocol_error_count(void);
TSIM_API const char* tsim_protocol_error_text(int i);

/* Homing: milliseconds a homing takes before event 5 is reported (default
 * 50); the axis counter is set to 0 at the end. */
TSIM_API void tsim_set_homing_time(int ms);

/* Probing: the probe input triggers when, during an armed probing move, the
 * counter of axis crosses threshold (direction +1: reaching >= threshold,
 * -1: reaching <= threshold). axis -1 disables the surface (the default). */
TSIM_API void tsim_set_probe_surface(int axis, int32_t threshold, int direction);
/* Milliseconds the machine takes to decelerate after a trigger (default 5),
 * and steps it travels on during them (default 2 per ms along the motion). */
TSIM_API void tsim_set_probe_decel(int ms);

/* Last spindle and outputs commands, for assertions. */
TSIM_API uint32_t tsim_spindle_period(void);
TSIM_API void tsim_set_spindle_period(uint32_t ticks);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TELVO_SIM_H */
