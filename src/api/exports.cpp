// The 26 exported functions: each a thin entry into its subsystem.
#include "telvo/telvo.h"

#include "config/config.h"
#include "link/link.h"
#include "motion/motion.h"
#include "probe/probe.h"
#include "status/status.h"

using namespace telvo;

extern "C" {

TELVO_API int TELVO_CALL telvo_Open(void) { return link::open(); }

TELVO_API int TELVO_CALL telvo_Close(void) {
    (void)status::resetProbeState();
    return link::close();
}

TELVO_API const char* TELVO_CALL telvo_GetFirmwareVersion(void) { return link::firmwareVersion(); }

TELVO_API int TELVO_CALL telvo_Init(const MachineConfig* config, const IoConfig* io) {
    return config::init(config, io);
}

TELVO_API int TELVO_CALL telvo_GetStatus(MachineStatus* record) { return status::getStatus(record); }
TELVO_API int TELVO_CALL telvo_CmdPurge(int endOfMove) { return status::cmdPurge(endOfMove); }

TELVO_API int TELVO_CALL telvo_CmdStop(uint8_t stopMode) { return status::cmdStop(stopMode); }
TELVO_API int TELVO_CALL telvo_CmdSetOutputs(uint16_t outputs, uint16_t outputWord1, uint16_t outputWord2) {
    return status::cmdSetOutputs(outputs, outputWord1, outputWord2);
}
TELVO_API int TELVO_CALL telvo_CmdJogOn(uint8_t axis, int reverse, int speed) {
    return status::cmdJogOn(axis, reverse, speed);
}
TELVO_API int TELVO_CALL telvo_CmdJogOff(uint8_t axis) { return status::cmdJogOff(axis); }
TELVO_API int TELVO_CALL telvo_CmdSpindle(uint8_t mode, uint16_t value, int speed) {
    return status::cmdSpindle(mode, value, speed);
}
TELVO_API int TELVO_CALL telvo_CmdHomeAxis(uint8_t axis) { return status::cmdHomeAxis(axis); }
TELVO_API int TELVO_CALL telvo_SetupMPG(uint8_t axis, double scale, int speed, int enable) {
    return status::setupMpg(axis, scale, speed, enable);
}
TELVO_API int TELVO_CALL telvo_Disconnect(void) { return status::disconnect(); }

TELVO_API int TELVO_CALL telvo_IsHoming(void) { return status::isHoming(); }
TELVO_API int TELVO_CALL telvo_IsProbing(void) { return status::isProbing(); }
TELVO_API int TELVO_CALL telvo_GetProbeResult(void) { return status::probeResult(); }

TELVO_API int TELVO_CALL telvo_BufAdd(const MotionSegment* segment) { return motion::bufAdd(segment); }
TELVO_API int TELVO_CALL telvo_BufFreeCnt(void) { return motion::bufFreeCount(); }
TELVO_API int TELVO_CALL telvo_BufEmpty(void) { return motion::bufEmpty(); }
TELVO_API int TELVO_CALL telvo_BufClear(void) { return motion::bufClear(); }
TELVO_API int TELVO_CALL telvo_SetBuffSize(int size) { return motion::setBufferSize(size); }

TELVO_API int TELVO_CALL telvo_BufUpdate(void) { return motion::bufUpdate(); }
TELVO_API void TELVO_CALL telvo_PosResync(void) { motion::posResync(); }

TELVO_API int TELVO_CALL telvo_CmdProbe(const double* start, const double* end, double speed) {
    return probe::cmdProbe(start, end, speed);
}
TELVO_API int TELVO_CALL telvo_GetProbePos(double* pos) { return probe::getProbePos(pos); }

}  // extern "C"
