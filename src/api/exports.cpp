// The 26 exported functions: each an entry into its subsystem. Where an
// export spans subsystems, the composition is here, at the top of the
// layering: the four reset points of homing and probing (Close, Init, Stop,
// Disconnect, each at its fixed place in its sequence) and the status poll,
// whose records the probe watches.
#include "telvo/telvo.h"

#include "api/library.h"
#include "config/config.h"
#include "frame/frame.h"
#include "link/link.h"
#include "motion/motion.h"
#include "probe/probe.h"
#include "status/status.h"

using namespace telvo;

namespace {

// Homing and probing back to idle; see probe::resetProbeState for what stays.
void resetHomingAndProbe() {
    status::resetHoming();
    probe::resetProbeState();
}

}  // namespace

namespace telvo {

void resetLibraryState() {
    link::reset();
    frame::reset();
    config::reset();
    status::resetHoming();
    probe::resetAll();
    motion::reset();
}

}  // namespace telvo

extern "C" {

TELVO_API int TELVO_CALL telvo_Open(void) {
    return link::open();
}

// Reset first, before the link is shut down.
TELVO_API int TELVO_CALL telvo_Close(void) {
    resetHomingAndProbe();
    return link::close();
}

TELVO_API const char* TELVO_CALL telvo_GetFirmwareVersion(void) {
    return link::firmwareVersion();
}

// Reset after both blocks are built, before the first is written.
TELVO_API int TELVO_CALL telvo_Init(const MachineConfig* config, const IoConfig* io) {
    if (config::storeBlocks(config, io) == 0) return 0;
    resetHomingAndProbe();
    config::sendBlocks(*config);
    return 1;
}

// A poll that finds no new frame lets the probe feeder run; a new record is
// shown to the probe's watch after the status path has handled it.
TELVO_API int TELVO_CALL telvo_GetStatus(MachineStatus* record) {
    // Without a record nothing is polled: a frame taken now would be lost.
    if (record == nullptr) return 0;
    if (status::getStatus(record) == 0) {
        probe::feedProbeMove();
        return 0;
    }
    probe::probeStatusHook(record);
    return 1;
}
TELVO_API int TELVO_CALL telvo_CmdPurge(int endOfMove) {
    return status::cmdPurge(endOfMove);
}

// Reset first, before the stop is written (also when no device is open).
TELVO_API int TELVO_CALL telvo_CmdStop(uint8_t stopMode) {
    resetHomingAndProbe();
    return status::cmdStop(stopMode);
}
TELVO_API int TELVO_CALL telvo_CmdSetOutputs(uint16_t outputs, uint16_t outputWord1,
                                             uint16_t outputWord2) {
    return status::cmdSetOutputs(outputs, outputWord1, outputWord2);
}
TELVO_API int TELVO_CALL telvo_CmdJogOn(uint8_t axis, int reverse, int speed) {
    return status::cmdJogOn(axis, reverse, speed);
}
TELVO_API int TELVO_CALL telvo_CmdJogOff(uint8_t axis) {
    return status::cmdJogOff(axis);
}
TELVO_API int TELVO_CALL telvo_CmdSpindle(uint8_t mode, uint16_t value, int speed) {
    return status::cmdSpindle(mode, value, speed);
}
TELVO_API int TELVO_CALL telvo_CmdHomeAxis(uint8_t axis) {
    return status::cmdHomeAxis(axis);
}
TELVO_API int TELVO_CALL telvo_SetupMPG(uint8_t axis, double scale, int speed, int enable) {
    return status::setupMpg(axis, scale, speed, enable);
}
// Reset last, after the five status polls.
TELVO_API int TELVO_CALL telvo_Disconnect(void) {
    const int result = status::disconnect();
    resetHomingAndProbe();
    return result;
}

TELVO_API int TELVO_CALL telvo_IsHoming(void) {
    return status::isHoming();
}
TELVO_API int TELVO_CALL telvo_IsProbing(void) {
    return probe::isProbing();
}
TELVO_API int TELVO_CALL telvo_GetProbeResult(void) {
    return probe::probeResult();
}

TELVO_API int TELVO_CALL telvo_BufAdd(const MotionSegment* segment) {
    return motion::bufAdd(segment);
}
TELVO_API int TELVO_CALL telvo_BufFreeCnt(void) {
    return motion::bufFreeCount();
}
TELVO_API int TELVO_CALL telvo_BufEmpty(void) {
    return motion::bufEmpty();
}
TELVO_API int TELVO_CALL telvo_BufClear(void) {
    return motion::bufClear();
}
TELVO_API int TELVO_CALL telvo_SetBuffSize(int size) {
    return motion::setBufferSize(size);
}

TELVO_API int TELVO_CALL telvo_BufUpdate(void) {
    return motion::bufUpdate();
}
TELVO_API void TELVO_CALL telvo_PosResync(void) {
    motion::posResync();
}

TELVO_API int TELVO_CALL telvo_CmdProbe(const double* start, const double* end, double speed) {
    return probe::cmdProbe(start, end, speed);
}
TELVO_API int TELVO_CALL telvo_GetProbePos(double* pos) {
    return probe::getProbePos(pos);
}

}  // extern "C"
