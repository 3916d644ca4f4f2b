// The tsim_* control API: C entry points over the one simulator.
//
// Shared by both builds of the simulator (the POSIX backend module and the
// Windows WinUSB-shaped DLL); each function takes the simulator's lock and
// forwards to the part that owns what it asks about: the USB face (devices,
// faults, writes, reads, messages, frames delivered) or the machine.
#include "sim_device.h"

// Once the module is being unloaded there is no simulator: every call then
// does nothing and answers "nothing there".
#define SIM_OR(gone)  \
    tsim::Locked sim; \
    if (!sim) return gone

// The few calls that manage the lock themselves.
#define DEVICE_OR(gone)                   \
    tsim::Device* sim = tsim::instance(); \
    if (sim == nullptr) return gone

extern "C" {

TSIM_API void tsim_reset(void) {
    DEVICE_OR();
    sim->reset();
}
TSIM_API void tsim_set_device_count(int count) {
    SIM_OR();
    sim->usb.setDeviceCount(count);
}
TSIM_API void tsim_set_device_path(int index, const char* path) {
    SIM_OR();
    sim->usb.setDevicePath(index, path);
}
TSIM_API void tsim_set_firmware(const char* bytes, int length) {
    SIM_OR();
    sim->usb.setFirmware(bytes, length);
}

TSIM_API void tsim_inject(tsim_fault fault, int skip, int repeat) {
    SIM_OR();
    sim->usb.inject(fault, skip, repeat);
}
TSIM_API void tsim_clear_faults(void) {
    SIM_OR();
    sim->usb.clearFaults();
}

TSIM_API int tsim_write_count(void) {
    SIM_OR(0);
    return sim->usb.writeCount();
}
TSIM_API int tsim_write_get(int i, uint8_t* pipe, uint8_t* buffer, int capacity, int* device,
                            int* failed) {
    SIM_OR(-1);
    return sim->usb.writeGet(i, pipe, buffer, capacity, device, failed);
}
TSIM_API void tsim_clear_writes(void) {
    SIM_OR();
    sim->usb.clearWrites();
}
TSIM_API int tsim_control_count(void) {
    SIM_OR(0);
    return sim->usb.controlCount();
}
TSIM_API int tsim_read_count(void) {
    SIM_OR(0);
    return sim->usb.readCount();
}
TSIM_API int tsim_read_pending(void) {
    SIM_OR(0);
    return sim->usb.readPending();
}
TSIM_API int tsim_device_open(void) {
    SIM_OR(0);
    return sim->usb.deviceOpen();
}
TSIM_API int tsim_open_files(void) {
    SIM_OR(0);
    return sim->usb.openFiles();
}
TSIM_API int tsim_open_interfaces(void) {
    SIM_OR(0);
    return sim->usb.openInterfaces();
}
TSIM_API void tsim_hold_writes(int hold) {
    DEVICE_OR();
    sim->holdWrites(hold);
}
TSIM_API int tsim_writes_held(void) {
    DEVICE_OR(0);
    return sim->writesHeld();
}

TSIM_API int tsim_message_count(void) {
    SIM_OR(0);
    return sim->usb.messageCount();
}
TSIM_API const char* tsim_message_text(int i) {
    SIM_OR(nullptr);
    return sim->usb.messageText(i);
}
TSIM_API const char* tsim_message_caption(int i) {
    SIM_OR(nullptr);
    return sim->usb.messageCaption(i);
}
TSIM_API void tsim_set_message_hook(void (*hook)(void* context), void* context) {
    SIM_OR();
    sim->usb.setMessageHook(hook, context);
}

TSIM_API int tsim_axis_config(uint8_t out[262]) {
    SIM_OR(0);
    return sim->machine.axisConfig(out);
}
TSIM_API int tsim_io_config(uint8_t out[112]) {
    SIM_OR(0);
    return sim->machine.ioConfig(out);
}
TSIM_API int tsim_last_command(int code, uint8_t* out, int capacity) {
    SIM_OR(-1);
    return sim->machine.lastCommand(code, out, capacity);
}
TSIM_API int tsim_command_count(int code) {
    SIM_OR(0);
    return sim->machine.commandCount(code);
}

TSIM_API void tsim_set_scripted(int scripted) {
    SIM_OR();
    sim->usb.setScripted(scripted);
}
TSIM_API void tsim_push_frame(const uint8_t frame[60]) {
    SIM_OR();
    sim->usb.pushFrame(frame);
}
TSIM_API void tsim_frame_encode(const tsim_frame* frame, uint8_t out[60]) {
    if (frame != nullptr && out != nullptr) tsim::encodeFrame(*frame, out);
}
TSIM_API void tsim_frame_decode(const uint8_t in[60], tsim_frame* frame) {
    if (in != nullptr && frame != nullptr) tsim::decodeFrame(in, frame);
}
TSIM_API void tsim_current_frame(tsim_frame* frame) {
    SIM_OR();
    if (frame != nullptr) sim->machine.buildFrame(frame, false);
}
TSIM_API int tsim_pending_events(void) {
    SIM_OR(0);
    return sim->machine.pendingEvents();
}

TSIM_API void tsim_set_buffer_size(int size) {
    SIM_OR();
    sim->machine.setBufferSize(size);
}
TSIM_API void tsim_set_frame_period(int ms) {
    SIM_OR();
    sim->usb.setFramePeriod(ms);
}
TSIM_API void tsim_advance_ms(int ms) {
    DEVICE_OR();
    sim->advance(ms);
}
TSIM_API int64_t tsim_clock_ms(void) {
    SIM_OR(0);
    return sim->machine.clockMs();
}
TSIM_API void tsim_set_realtime(double speed) {
    DEVICE_OR();
    sim->setRealtime(speed);
}
TSIM_API int tsim_realtime_running(void) {
    DEVICE_OR(0);
    return sim->realtimeRunning();
}

TSIM_API void tsim_position(int32_t out[TSIM_COUNTERS]) {
    SIM_OR();
    sim->machine.position(out);
}
TSIM_API void tsim_exact_position(int64_t out[TSIM_MOTION_AXES]) {
    SIM_OR();
    sim->machine.exactPosition(out);
}
TSIM_API void tsim_set_position(const int32_t position[TSIM_COUNTERS]) {
    SIM_OR();
    sim->machine.setPosition(position);
}
TSIM_API int tsim_buffer_level(void) {
    SIM_OR(0);
    return sim->machine.bufferLevel();
}
TSIM_API int64_t tsim_executed_count(void) {
    SIM_OR(0);
    return sim->machine.executedCount();
}
TSIM_API int64_t tsim_block_count(void) {
    SIM_OR(0);
    return sim->machine.blockCount();
}
TSIM_API int tsim_executed_get(int64_t n, tsim_executed* out) {
    SIM_OR(0);
    return sim->machine.executedGet(n, out);
}
TSIM_API int tsim_protocol_error_count(void) {
    SIM_OR(0);
    return sim->log.count();
}
TSIM_API const char* tsim_protocol_error_text(int i) {
    SIM_OR(nullptr);
    return sim->log.text(i);
}

TSIM_API void tsim_set_homing_time(int ms) {
    SIM_OR();
    sim->machine.setHomingTime(ms);
}
TSIM_API void tsim_set_probe_surface(int axis, int32_t threshold, int direction) {
    SIM_OR();
    sim->machine.setProbeSurface(axis, threshold, direction);
}
TSIM_API void tsim_set_probe_decel(int ms) {
    SIM_OR();
    sim->machine.setProbeDecel(ms);
}
TSIM_API int tsim_probe_armed(void) {
    SIM_OR(0);
    return sim->machine.probeArmed();
}
TSIM_API uint32_t tsim_spindle_period(void) {
    SIM_OR(0);
    return sim->machine.spindlePeriod();
}
TSIM_API void tsim_set_spindle_period(uint32_t ticks) {
    SIM_OR();
    sim->machine.setSpindlePeriod(ticks);
}

}  // extern "C"
