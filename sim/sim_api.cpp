// The tsim_* control API: C entry points over the one Simulator.
//
// Shared by both builds of the simulator (the POSIX backend module and the
// Windows WinUSB-shaped DLL); each function only forwards.
#include "sim_core.h"

using tsim::simulator;

extern "C" {

TSIM_API void tsim_reset(void) { simulator().reset(); }
TSIM_API void tsim_set_device_count(int count) { simulator().setDeviceCount(count); }
TSIM_API void tsim_set_device_path(int index, const char* path) { simulator().setDevicePath(index, path); }
TSIM_API void tsim_set_firmware(const char* bytes, int length) { simulator().setFirmware(bytes, length); }

TSIM_API void tsim_inject(tsim_fault fault, int skip, int repeat) { simulator().inject(fault, skip, repeat); }
TSIM_API void tsim_clear_faults(void) { simulator().clearFaults(); }

TSIM_API int tsim_write_count(void) { return simulator().writeCount(); }
TSIM_API int tsim_write_get(int i, uint8_t* pipe, uint8_t* buffer, int capacity, int* device, int* failed) {
    return simulator().writeGet(i, pipe, buffer, capacity, device, failed);
}
TSIM_API void tsim_clear_writes(void) { simulator().clearWrites(); }
TSIM_API int tsim_control_count(void) { return simulator().controlCount(); }
TSIM_API int tsim_read_count(void) { return simulator().readCount(); }
TSIM_API int tsim_read_pending(void) { return simulator().readPending(); }
TSIM_API int tsim_device_open(void) { return simulator().deviceOpen(); }

TSIM_API int tsim_message_count(void) { return simulator().messageCount(); }
TSIM_API const char* tsim_message_text(int i) { return simulator().messageText(i); }
TSIM_API const char* tsim_message_caption(int i) { return simulator().messageCaption(i); }
TSIM_API void tsim_set_message_hook(void (*hook)(void* context), void* context) {
    simulator().setMessageHook(hook, context);
}

TSIM_API int tsim_axis_config(uint8_t out[262]) { return simulator().axisConfig(out); }
TSIM_API int tsim_io_config(uint8_t out[112]) { return simulator().ioConfig(out); }
TSIM_API int tsim_last_command(int code, uint8_t* out, int capacity) {
    return simulator().lastCommand(code, out, capacity);
}
TSIM_API int tsim_command_count(int code) { return simulator().commandCount(code); }

TSIM_API void tsim_set_scripted(int scripted) { simulator().setScripted(scripted); }
TSIM_API void tsim_push_frame(const uint8_t frame[60]) { simulator().pushFrame(frame); }
TSIM_API void tsim_frame_encode(const tsim_frame* frame, uint8_t out[60]) {
    if (frame != nullptr && out != nullptr) tsim::encodeFrame(*frame, out);
}
TSIM_API void tsim_frame_decode(const uint8_t in[60], tsim_frame* frame) {
    if (in != nullptr && frame != nullptr) tsim::decodeFrame(in, frame);
}
TSIM_API void tsim_current_frame(tsim_frame* frame) { simulator().currentFrame(frame); }
TSIM_API int tsim_pending_events(void) { return simulator().pendingEvents(); }

TSIM_API void tsim_set_buffer_size(int size) { simulator().setBufferSize(size); }
TSIM_API void tsim_set_frame_period(int ms) { simulator().setFramePeriod(ms); }
TSIM_API void tsim_advance_ms(int ms) { simulator().advance(ms); }
TSIM_API int64_t tsim_clock_ms(void) { return simulator().clockMs(); }
TSIM_API void tsim_set_realtime(double speed) { simulator().setRealtime(speed); }
TSIM_API int tsim_realtime_running(void) { return simulator().realtimeRunning(); }

TSIM_API void tsim_position(int32_t out[7]) { simulator().position(out); }
TSIM_API void tsim_exact_position(int64_t out[6]) { simulator().exactPosition(out); }
TSIM_API void tsim_set_position(const int32_t position[7]) { simulator().setPosition(position); }
TSIM_API int tsim_buffer_level(void) { return simulator().bufferLevel(); }
TSIM_API int64_t tsim_executed_count(void) { return simulator().executedCount(); }
TSIM_API int64_t tsim_block_count(void) { return simulator().blockCount(); }
TSIM_API int tsim_executed_get(int64_t n, tsim_executed* out) { return simulator().executedGet(n, out); }
TSIM_API int tsim_protocol_error_count(void) { return simulator().protocolErrorCount(); }
TSIM_API const char* tsim_protocol_error_text(int i) { return simulator().protocolErrorText(i); }

TSIM_API void tsim_set_homing_time(int ms) { simulator().setHomingTime(ms); }
TSIM_API void tsim_set_probe_surface(int axis, int32_t threshold, int direction) {
    simulator().setProbeSurface(axis, threshold, direction);
}
TSIM_API void tsim_set_probe_decel(int ms) { simulator().setProbeDecel(ms); }
TSIM_API int tsim_probe_armed(void) { return simulator().probeArmed(); }
TSIM_API uint32_t tsim_spindle_period(void) { return simulator().spindlePeriod(); }
TSIM_API void tsim_set_spindle_period(uint32_t ticks) { simulator().setSpindlePeriod(ticks); }

}  // extern "C"
