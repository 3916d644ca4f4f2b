// The tsim_* control API: C entry points over the one Simulator.
//
// Shared by both builds of the simulator (the POSIX backend module and the
// Windows WinUSB-shaped DLL); each function only forwards.
#include "sim_core.h"

// Once the module is being unloaded there is no simulator: every call then
// does nothing and answers "nothing there".
#define SIM_OR(gone)                               \
    tsim::Simulator* sim = tsim::instance();       \
    if (sim == nullptr) return gone

extern "C" {

TSIM_API void tsim_reset(void) { SIM_OR(); sim->reset(); }
TSIM_API void tsim_set_device_count(int count) { SIM_OR(); sim->setDeviceCount(count); }
TSIM_API void tsim_set_device_path(int index, const char* path) { SIM_OR(); sim->setDevicePath(index, path); }
TSIM_API void tsim_set_firmware(const char* bytes, int length) { SIM_OR(); sim->setFirmware(bytes, length); }

TSIM_API void tsim_inject(tsim_fault fault, int skip, int repeat) {
    SIM_OR();
    sim->inject(fault, skip, repeat);
}
TSIM_API void tsim_clear_faults(void) { SIM_OR(); sim->clearFaults(); }

TSIM_API int tsim_write_count(void) { SIM_OR(0); return sim->writeCount(); }
TSIM_API int tsim_write_get(int i, uint8_t* pipe, uint8_t* buffer, int capacity, int* device, int* failed) {
    SIM_OR(-1);
    return sim->writeGet(i, pipe, buffer, capacity, device, failed);
}
TSIM_API void tsim_clear_writes(void) { SIM_OR(); sim->clearWrites(); }
TSIM_API int tsim_control_count(void) { SIM_OR(0); return sim->controlCount(); }
TSIM_API int tsim_read_count(void) { SIM_OR(0); return sim->readCount(); }
TSIM_API int tsim_read_pending(void) { SIM_OR(0); return sim->readPending(); }
TSIM_API int tsim_device_open(void) { SIM_OR(0); return sim->deviceOpen(); }
TSIM_API int tsim_open_files(void) { SIM_OR(0); return sim->openFiles(); }
TSIM_API int tsim_open_interfaces(void) { SIM_OR(0); return sim->openInterfaces(); }
TSIM_API void tsim_hold_writes(int hold) { SIM_OR(); sim->holdWrites(hold); }
TSIM_API int tsim_writes_held(void) { SIM_OR(0); return sim->writesHeld(); }

TSIM_API int tsim_message_count(void) { SIM_OR(0); return sim->messageCount(); }
TSIM_API const char* tsim_message_text(int i) { SIM_OR(nullptr); return sim->messageText(i); }
TSIM_API const char* tsim_message_caption(int i) { SIM_OR(nullptr); return sim->messageCaption(i); }
TSIM_API void tsim_set_message_hook(void (*hook)(void* context), void* context) {
    SIM_OR();
    sim->setMessageHook(hook, context);
}

TSIM_API int tsim_axis_config(uint8_t out[262]) { SIM_OR(0); return sim->axisConfig(out); }
TSIM_API int tsim_io_config(uint8_t out[112]) { SIM_OR(0); return sim->ioConfig(out); }
TSIM_API int tsim_last_command(int code, uint8_t* out, int capacity) {
    SIM_OR(-1);
    return sim->lastCommand(code, out, capacity);
}
TSIM_API int tsim_command_count(int code) { SIM_OR(0); return sim->commandCount(code); }

TSIM_API void tsim_set_scripted(int scripted) { SIM_OR(); sim->setScripted(scripted); }
TSIM_API void tsim_push_frame(const uint8_t frame[60]) { SIM_OR(); sim->pushFrame(frame); }
TSIM_API void tsim_frame_encode(const tsim_frame* frame, uint8_t out[60]) {
    if (frame != nullptr && out != nullptr) tsim::encodeFrame(*frame, out);
}
TSIM_API void tsim_frame_decode(const uint8_t in[60], tsim_frame* frame) {
    if (in != nullptr && frame != nullptr) tsim::decodeFrame(in, frame);
}
TSIM_API void tsim_current_frame(tsim_frame* frame) { SIM_OR(); sim->currentFrame(frame); }
TSIM_API int tsim_pending_events(void) { SIM_OR(0); return sim->pendingEvents(); }

TSIM_API void tsim_set_buffer_size(int size) { SIM_OR(); sim->setBufferSize(size); }
TSIM_API void tsim_set_frame_period(int ms) { SIM_OR(); sim->setFramePeriod(ms); }
TSIM_API void tsim_advance_ms(int ms) { SIM_OR(); sim->advance(ms); }
TSIM_API int64_t tsim_clock_ms(void) { SIM_OR(0); return sim->clockMs(); }
TSIM_API void tsim_set_realtime(double speed) { SIM_OR(); sim->setRealtime(speed); }
TSIM_API int tsim_realtime_running(void) { SIM_OR(0); return sim->realtimeRunning(); }

TSIM_API void tsim_position(int32_t out[7]) { SIM_OR(); sim->position(out); }
TSIM_API void tsim_exact_position(int64_t out[6]) { SIM_OR(); sim->exactPosition(out); }
TSIM_API void tsim_set_position(const int32_t position[7]) { SIM_OR(); sim->setPosition(position); }
TSIM_API int tsim_buffer_level(void) { SIM_OR(0); return sim->bufferLevel(); }
TSIM_API int64_t tsim_executed_count(void) { SIM_OR(0); return sim->executedCount(); }
TSIM_API int64_t tsim_block_count(void) { SIM_OR(0); return sim->blockCount(); }
TSIM_API int tsim_executed_get(int64_t n, tsim_executed* out) { SIM_OR(0); return sim->executedGet(n, out); }
TSIM_API int tsim_protocol_error_count(void) { SIM_OR(0); return sim->protocolErrorCount(); }
TSIM_API const char* tsim_protocol_error_text(int i) { SIM_OR(nullptr); return sim->protocolErrorText(i); }

TSIM_API void tsim_set_homing_time(int ms) { SIM_OR(); sim->setHomingTime(ms); }
TSIM_API void tsim_set_probe_surface(int axis, int32_t threshold, int direction) {
    SIM_OR();
    sim->setProbeSurface(axis, threshold, direction);
}
TSIM_API void tsim_set_probe_decel(int ms) { SIM_OR(); sim->setProbeDecel(ms); }
TSIM_API int tsim_probe_armed(void) { SIM_OR(0); return sim->probeArmed(); }
TSIM_API uint32_t tsim_spindle_period(void) { SIM_OR(0); return sim->spindlePeriod(); }
TSIM_API void tsim_set_spindle_period(uint32_t ticks) { SIM_OR(); sim->setSpindlePeriod(ticks); }

}  // extern "C"
