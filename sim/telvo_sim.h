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
 * All functions are thread-safe (one internal mutex). Completion callbacks
 * are called with that mutex held (it is recursive, so a callback may call
 * back in); the message hook is called without it.
 *
 * The USB face, as the library sees it:
 * - Listing: only the controller's class GUID
 *   {8F974853-102C-47CA-B6EC-613E800EAFAA} lists devices; any other lists
 *   none (259). A path longer than the caller's capacity answers 122 with the
 *   required length.
 * - Open accepts exactly a listed path (else 2). Handles are opaque; a stale
 *   or unknown handle answers 6. A device whose index is no longer listed
 *   (tsim_set_device_count lowered while it is open) behaves as unplugged:
 *   its writes, reads and control transfers fail with 31.
 * - The firmware request is the control transfer with setup
 *   A0 E0 00 00 00 00 05 00; it answers the configured bytes (fewer than 5 is
 *   a short answer, `transferred` says how many). Any other setup packet is
 *   stalled (31) and recorded as a protocol error.
 * - Both listed devices front the one simulated machine; each write is
 *   recorded with the index of the device that received it.
 *
 * Positions: each motion axis 0..5 holds an exact position in millionths of a
 * step; its step counter is the floor of it. A machine at rest sits in the
 * middle of its step (counter + 0.5), which is where a host that realigns its
 * stream with the counters believes it to be. Whenever the machine comes to
 * rest other than by running out of segments (end of homing or jog, stop, a
 * purge that drops segments, end of a probe deceleration, tsim_set_position)
 * it settles on the middle of its current step; running out of segments
 * keeps the exact position, so a stream that simply goes on stays continuous.
 * Axis 6 has no motion: its counter only changes through tsim_set_position.
 *
 * Run states reported in frames: 3 halted with buffered motion that the host
 * must purge; else 1 while segments are held or a probe deceleration runs;
 * else 2 while an axis jogs or homes; else 0.
 *
 * Text pointers returned here (messages, protocol errors) stay valid until
 * tsim_reset.
 */
#ifndef TELVO_SIM_H
#define TELVO_SIM_H

#include <stdint.h>

#if defined(_WIN32)
#define TSIM_API
#else
#define TSIM_API __attribute__((visibility("default")))
#endif

/* The file name of the simulator's backend module on POSIX systems. */
#define TSIM_MODULE_NAME "libtelvo_sim.so"

/* Motion axes 0..5, and the step counters of axes 0..6 (axis 6 only reports). */
#define TSIM_MOTION_AXES 6
#define TSIM_COUNTERS 7

#ifdef __cplusplus
extern "C" {
#endif

/* ---- whole-simulator control ------------------------------------------ */

/* Back to the state after load: one device listed at path
 * "sim://controller/0" (device 1 at "sim://controller/1"), firmware answer
 * "01.23", no faults, machine at rest at position 0, clock 0, buffer size
 * 1000, frame period 1 ms, homing time 50 ms, probe surface off, probe
 * deceleration 5 ms, spindle period 0, records cleared, message hook removed,
 * scripted mode off (machine mode), real-time mode off (its thread joined).
 * Any open device is forgotten: its handles become invalid and a read in
 * flight is dropped without completion. */
TSIM_API void tsim_reset(void);

/* Number of controllers listed (0, 1 or 2; clamped). With 2, index 0 is the
 * first listed; writes are recorded with the device index that received
 * them. */
TSIM_API void tsim_set_device_count(int count);
/* Path listed for device index (0 or 1); NUL-terminated, any length. */
TSIM_API void tsim_set_device_path(int index, const char* path);

/* Bytes the controller answers to the firmware request (0..5 bytes). */
TSIM_API void tsim_set_firmware(const char* bytes, int length);

/* ---- fault injection --------------------------------------------------- */

typedef enum tsim_fault {
    TSIM_FAULT_LIST_FAILS = 1,      /* listing fails with error 31 (not "none") */
    TSIM_FAULT_PATH_QUERY_FAILS,    /* the path of a listed device cannot be read (error 1167) */
    TSIM_FAULT_OPEN_FAILS,          /* opening the path fails (error 2) */
    TSIM_FAULT_INIT_FAILS,          /* USB initialisation fails (error 31) */
    TSIM_FAULT_CONTROL_FAILS,       /* the firmware request fails (error 31, nothing transferred) */
    TSIM_FAULT_COMMAND_WRITE_FAILS, /* a write on pipe 0x01 fails (error 31), nothing accepted */
    TSIM_FAULT_COMMAND_WRITE_SHORT, /* a write on pipe 0x01 succeeds but accepts one byte less */
    TSIM_FAULT_BLOCK_WRITE_FAILS,   /* a write on pipe 0x02 fails (error 31), nothing accepted */
    TSIM_FAULT_READ_NEVER_COMPLETES, /* status reads are accepted but never complete */
    TSIM_FAULT_READ_START_FAILS      /* starting a status read fails (error 31), no completion */
} tsim_fault;

/* Arms a fault. It fires on the (skip+1)-th matching operation from now and,
 * when repeat is 0, only once; with repeat 1 it fires on every matching
 * operation from then on until cleared. Matching operations: every list call
 * (LIST_FAILS); every list call that finds a device at its index
 * (PATH_QUERY_FAILS); every open, initialise, control transfer; every write
 * on pipe 0x01 (both COMMAND faults count each such write; FAILS wins when
 * both fire); every write on pipe 0x02; every status read started. A failed
 * or short write is recorded (flagged failed) but the controller does not act
 * on it. A read hit by READ_NEVER_COMPLETES stays in flight until the
 * interface is freed. */
TSIM_API void tsim_inject(tsim_fault fault, int skip, int repeat);
TSIM_API void tsim_clear_faults(void);

/* ---- what the library sent ------------------------------------------- */

/* Every write, in order. pipe is 0x01 or 0x02. Failed and short writes are
 * recorded too (with the bytes the library offered) and flagged. The log
 * keeps the newest 2^20 writes (and at most 64 MiB); older ones are dropped
 * but still counted. */
TSIM_API int tsim_write_count(void);
/* Copies write i (0-based) into buffer (at most capacity bytes); returns its
 * full length, or -1 when i is out of range or no longer kept. pipe, device
 * and failed may be null. */
TSIM_API int tsim_write_get(int i, uint8_t* pipe, uint8_t* buffer, int capacity, int* device,
                            int* failed);
TSIM_API void tsim_clear_writes(void);

/* Counts of control transfers (every call on a valid interface, including
 * failed ones) and of status reads (every call of the read entry point on a
 * valid interface, including those refused). */
TSIM_API int tsim_control_count(void);
TSIM_API int tsim_read_count(void);
/* 1 while a status read is in flight. */
TSIM_API int tsim_read_pending(void);
/* Open/initialised state as the device sees it: 1 while an interface is
 * initialised and not freed. */
TSIM_API int tsim_device_open(void);
/* Device files opened and not closed, and interfaces initialised and not
 * freed, right now: a failure path or a close that leaks one shows here. */
TSIM_API int tsim_open_files(void);
TSIM_API int tsim_open_interfaces(void);

/* Holds every pipe write from now (1) until released (0): a write waits on
 * entry, before it is recorded or checked, and holds nothing of the
 * simulator while it waits, so that a test can see what another thread does
 * meanwhile (e.g. wait for the library's lock). Reset releases the hold.
 * tsim_writes_held: writes waiting right now. */
TSIM_API void tsim_hold_writes(int hold);
TSIM_API int tsim_writes_held(void);

/* Messages the library presented through telvo_backend_show_message; text
 * and caption of message i, null when i is out of range. */
TSIM_API int tsim_message_count(void);
TSIM_API const char* tsim_message_text(int i);
TSIM_API const char* tsim_message_caption(int i);
/* Called from inside telvo_backend_show_message, after the message was
 * recorded, the way a host's message loop runs while a modal box is up; null
 * to remove. */
TSIM_API void tsim_set_message_hook(void (*hook)(void* context), void* context);

/* The configuration blocks last received (code 9: 262 bytes, code 11: 112
 * bytes). Return 1 and copy when one was received, else 0. */
TSIM_API int tsim_axis_config(uint8_t out[262]);
TSIM_API int tsim_io_config(uint8_t out[112]);

/* Last accepted payload of command code (outputs 6, spindle 7, MPG 17, jog
 * 2, stop 14, probe 4, ...): copies at most capacity bytes and returns the
 * payload length, or -1 when no packet with that code was accepted. */
TSIM_API int tsim_last_command(int code, uint8_t* out, int capacity);
/* Number of accepted packets with that code (protocol errors not counted). */
TSIM_API int tsim_command_count(int code);

/* ---- status frames ---------------------------------------------------- */

/* Scripted mode (1): frames come only from tsim_push_frame, in order, one
 * per completed read; a read issued while the queue is empty stays pending
 * until a frame is pushed. Machine mode (0, the default): the machine makes a
 * frame due every frame period of its clock (and one is due when an
 * interface is initialised); a pending read completes at the first frame due
 * at or after its issue, and a read issued while a frame is due completes at
 * once, inside telvo_backend_read_pipe_async. A due frame is not stored: it
 * is built when the read completes, from the machine as it stands then, and
 * at most one frame is delivered per period. Pushed frames take precedence in
 * both modes: a push completes a pending read at once, and a read issued
 * while pushed frames wait takes the first at once. */
TSIM_API void tsim_set_scripted(int scripted);
/* Queues a raw 60-byte frame (any first byte, for corrupt-frame tests). */
TSIM_API void tsim_push_frame(const uint8_t frame[60]);

/* Field view of a frame, for building frames to push. */
typedef struct tsim_frame {
    uint8_t length; /* 60 for a valid frame */
    uint8_t state;
    uint8_t event;
    uint8_t flags;
    uint16_t deviceWord0, deviceWord1;
    int32_t position[TSIM_COUNTERS];
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
/* The frame the machine would report now (machine mode), without taking
 * the event it shows off the queue.
 *
 * Machine frames: length 60; state as above; position = the counters;
 * spindlePeriod as set by tsim_set_spindle_period; bufferLevel = segments
 * held; segmentIndex = slot index of the segment executing or last executed
 * (0xFFFF before the first); flags and the device* fields 0. Events are
 * latched in a FIFO and each delivered frame takes at most one, so none is
 * lost when the host reads slowly: event 5 (homing finished, eventAxis = the
 * axis), 6 (probing move ended without contact), 7 (probe contact; that
 * frame's position holds the counters at contact, whenever it is read). */
TSIM_API void tsim_current_frame(tsim_frame* frame);
/* Events latched and not yet delivered in a frame. */
TSIM_API int tsim_pending_events(void);

/* ---- the machine ------------------------------------------------------ */

/* Controller-side segment buffer size (300..1000, clamped; default 1000). A
 * block with more segments than fit is an overrun: the segments that fit are
 * held, the rest dropped and a protocol error recorded. */
TSIM_API void tsim_set_buffer_size(int size);
/* Milliseconds between status frames in machine mode (default 1, at least 1). */
TSIM_API void tsim_set_frame_period(int ms);
/* Advances the clock: every millisecond the machine ends homings that are
 * due, moves jogging axes, runs a probe deceleration or else executes one
 * buffered segment (unless halted), and then makes a frame due when the
 * period is up, completing a pending read. */
TSIM_API void tsim_advance_ms(int ms);
TSIM_API int64_t tsim_clock_ms(void);
/* Real-time mode for the host tool: a thread advances the clock at speed
 * times real time (0 stops and joins the thread; a new speed takes effect
 * from now). No thread is left running when the module is unloaded or the
 * process exits. Not to be called from a completion callback. */
TSIM_API void tsim_set_realtime(double speed);
/* 1 while the real-time thread runs. */
TSIM_API int tsim_realtime_running(void);

/* Step counters of axes 0..6. */
TSIM_API void tsim_position(int32_t out[TSIM_COUNTERS]);
/* Exact positions of axes 0..5 in millionths of a step (counter =
 * floor(exact / 1,000,000); the sub-step phase is the remainder). */
TSIM_API void tsim_exact_position(int64_t out[TSIM_MOTION_AXES]);
/* Sets the counters of axes 0..6; axes 0..5 rest in the middle of the step. */
TSIM_API void tsim_set_position(const int32_t position[TSIM_COUNTERS]);
/* Segments held, executed so far, blocks received (accepted ones). */
TSIM_API int tsim_buffer_level(void);
TSIM_API int64_t tsim_executed_count(void);
TSIM_API int64_t tsim_block_count(void);

/* Log of executed segments: for each, the slot index it carried, its two
 * code bytes as received on the wire, and the step counters of axes 0..5
 * after it ran. Keeps the newest entries up to its capacity (1 << 20);
 * tsim_executed_get counts from the first ever executed segment and returns
 * 0 when that entry is no longer kept (or not yet executed), else 1. */
typedef struct tsim_executed {
    uint16_t slotIndex;
    uint8_t segmentCode;
    uint8_t segmentAux;
    int32_t position[TSIM_MOTION_AXES];
} tsim_executed;
TSIM_API int tsim_executed_get(int64_t n, tsim_executed* out);

/* Protocol errors seen (start phase invalid or discontinuous, buffer
 * overrun, bad complement, bad length, unknown code, wrong payload size,
 * block not a whole number of segments or over 75, slot index above 4999,
 * jog direction not 1/255, homing of an axis above 5, nonzero reserved probe
 * or purge bytes, unknown control request, wrong pipe, a second read in
 * flight); text of error i (null when out of range; the first 10000 texts
 * are kept, all are counted). A packet or block with an error is not acted
 * on (except an overrun, whose segments that fit are held).
 *
 * Segment checks, made when the segment executes, per axis 0..5: startPhase
 * must be a multiple of 250 in 0..249,999,750, and startPhase / 250 must equal
 * the axis's current sub-step phase; on a discontinuity the machine adopts
 * the received phase (same step) before adding the travel. */
TSIM_API int tsim_protocol_error_count(void);
TSIM_API const char* tsim_protocol_error_text(int i);

/* Homing (code 5): milliseconds a homing takes before event 5 is latched
 * (default 50; 0 ends it at once); the axis counter is set to 0 at the end.
 * Stop (code 14) cancels it without an event. */
TSIM_API void tsim_set_homing_time(int ms);

/* Probing: code 4 arms the probe. While armed, after each executed segment,
 * the probe input triggers when the counter of axis is at or beyond
 * threshold (direction +1: >= threshold, -1: <= threshold). axis -1 disables
 * the surface (the default). On contact: event 7 with the counters at
 * contact, the probe disarms, and the machine halts (state 3) while segments
 * remain held; once the host purges (12 or 13), or at once when none were
 * held, it decelerates (state 1) and then rests (state 0). An armed move
 * whose buffer runs empty by execution without contact (also by underrun)
 * latches event 6 and disarms; a purge does not. Code 13 and stop disarm. */
TSIM_API void tsim_set_probe_surface(int axis, int32_t threshold, int direction);
/* Milliseconds the machine takes to decelerate after a trigger (default 5;
 * 0: none). During them each axis travels on 2 steps per ms in the
 * direction of its travel in the contact segment. */
TSIM_API void tsim_set_probe_decel(int ms);
/* 1 while the probe is armed. */
TSIM_API int tsim_probe_armed(void);

/* Spindle period reported in frames (50 MHz ticks per revolution, 0 when
 * the spindle stands); the spindle command itself is only recorded
 * (tsim_last_command(7, ...)), as are outputs (6) and MPG (17). */
TSIM_API uint32_t tsim_spindle_period(void);
TSIM_API void tsim_set_spindle_period(uint32_t ticks);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TELVO_SIM_H */
