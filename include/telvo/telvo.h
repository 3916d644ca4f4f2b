/*
 * telvo.h - public interface of the telvo motion-controller host library.
 *
 * A machine-control host drives one USB motion controller through these 26
 * plain functions. Records that cross this boundary are byte-packed and
 * little-endian with fixed offsets; the static assertions at the end pin every
 * size and offset so that a host compiled with other packing rules fails to
 * build instead of exchanging shifted fields.
 *
 * Results are 1/0 for success/failure (command functions: the result of the
 * write), a count where noted, or a pointer to static text. No error codes
 * reach the host. Every call except the queue calls (telvo_BufAdd,
 * telvo_BufFreeCnt, telvo_BufEmpty, telvo_BufClear) is made from one host
 * thread, or never two at the same time.
 */
#ifndef TELVO_TELVO_H
#define TELVO_TELVO_H

#include <stdint.h>

#if defined(_WIN32)
#  define TELVO_CALL __cdecl
#else
#  define TELVO_CALL
#endif

#if defined(TELVO_BUILDING_LIBRARY) && !defined(_WIN32)
#  define TELVO_API __attribute__((visibility("default")))
#else
/* The Windows build exports through its module-definition file. */
#  define TELVO_API
#endif

/* The host's segment queue holds TELVO_QUEUE_CAPACITY - 1 segments
 * (telvo_BufFreeCnt counts down from that). Segments go to the controller
 * while its buffer holds at most its configured size less
 * TELVO_SEND_HEADROOM. */
#define TELVO_QUEUE_CAPACITY 4000
#define TELVO_SEND_HEADROOM 150

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

/* One axis of the machine configuration (30 bytes). */
typedef struct AxisConfig {
    int32_t stepsPerUnit;  /* steps per user unit */
    int32_t maxVelocity;   /* steps per second */
    int32_t acceleration;  /* steps per second squared */
    uint8_t slaveOf;       /* 0: own motion; n = 1..6: copies axis n-1 (axes 3-5) */
    int32_t deviceParam1;
    int32_t deviceParam2;
    int32_t auxVelocity;   /* steps per second */
    int32_t deviceParam3;
    uint8_t deviceParam4;
} AxisConfig;

/* The machine configuration given to telvo_Init (231 bytes). */
typedef struct MachineConfig {
    AxisConfig axes[7];    /* axes 0-5 move; record 6 is only forwarded */
    uint8_t machineParam1;
    int32_t machineParam2;
    int32_t machineParam3;
    int32_t machineParam4;
    uint8_t machineParam5;
    uint8_t machineSwitch1; /* bit 0 used */
    uint8_t machineParam6;
    uint8_t reserved[4];
    uint8_t machineSwitch2; /* 0 or not 0 */
} MachineConfig;

/* One pin assignment: the pin byte and two flag bits (bits 0 and 1). */
typedef struct PinEntry {
    uint8_t pin;
    uint8_t pinFlags;
} PinEntry;

/* The I/O configuration given to telvo_Init (126 bytes). */
typedef struct IoConfig {
    PinEntry pins[47];
    uint16_t ioValues[16];
} IoConfig;

/* The status record filled by telvo_GetStatus (62 bytes). */
typedef struct MachineStatus {
    uint8_t length;        /* always 62 */
    uint8_t state;
    uint8_t event;         /* 5 homing finished, 6 probe ended untriggered, 7 probe triggered */
    uint8_t flags;         /* bit 0 also set by the library when it consumed an event */
    uint16_t deviceWord0;
    uint16_t deviceWord1;
    int32_t position[7];   /* steps */
    float spindleRpm;
    uint16_t bufferLevel;  /* segments held by the controller */
    uint32_t deviceInt0;
    uint32_t deviceInt1;
    uint32_t deviceInt2;
    uint8_t deviceByte;
    uint8_t eventAxis;     /* bit 7 set when a homing event was consumed */
    int32_t segmentTag;    /* tag of the executing segment, 0 if unknown */
    uint16_t deviceWord2;
} MachineStatus;

/* One 1 ms motion segment given to telvo_BufAdd (54 bytes). */
typedef struct MotionSegment {
    double target[6];      /* absolute targets of axes 0-5, steps */
    int32_t tag;           /* reported back as MachineStatus.segmentTag */
    uint8_t segmentCode;   /* two 4-bit codes for the controller */
    uint8_t segmentAux;
} MotionSegment;

#pragma pack(pop)

/* Connection */
TELVO_API int TELVO_CALL telvo_Open(void);
TELVO_API int TELVO_CALL telvo_Close(void);
TELVO_API const char* TELVO_CALL telvo_GetFirmwareVersion(void);

/* Configuration */
TELVO_API int TELVO_CALL telvo_Init(const MachineConfig* config, const IoConfig* io);

/* Status */
TELVO_API int TELVO_CALL telvo_GetStatus(MachineStatus* record);
TELVO_API int TELVO_CALL telvo_CmdPurge(int endOfMove);

/* Direct commands */
TELVO_API int TELVO_CALL telvo_CmdStop(uint8_t stopMode);
TELVO_API int TELVO_CALL telvo_CmdSetOutputs(uint16_t outputs, uint16_t outputWord1, uint16_t outputWord2);
TELVO_API int TELVO_CALL telvo_CmdJogOn(uint8_t axis, int reverse, int speed);
TELVO_API int TELVO_CALL telvo_CmdJogOff(uint8_t axis);
TELVO_API int TELVO_CALL telvo_CmdSpindle(uint8_t mode, uint16_t value, int speed);
TELVO_API int TELVO_CALL telvo_CmdHomeAxis(uint8_t axis);
TELVO_API int TELVO_CALL telvo_SetupMPG(uint8_t axis, double scale, int speed, int enable);
TELVO_API int TELVO_CALL telvo_Disconnect(void);

/* Homing and probe state */
TELVO_API int TELVO_CALL telvo_IsHoming(void);
TELVO_API int TELVO_CALL telvo_IsProbing(void);
TELVO_API int TELVO_CALL telvo_GetProbeResult(void);

/* Segment queue */
TELVO_API int TELVO_CALL telvo_BufAdd(const MotionSegment* segment);
TELVO_API int TELVO_CALL telvo_BufFreeCnt(void);
TELVO_API int TELVO_CALL telvo_BufEmpty(void);
TELVO_API int TELVO_CALL telvo_BufClear(void);
TELVO_API int TELVO_CALL telvo_SetBuffSize(int size);

/* Streaming */
TELVO_API int TELVO_CALL telvo_BufUpdate(void);
TELVO_API void TELVO_CALL telvo_PosResync(void);

/* Probing */
TELVO_API int TELVO_CALL telvo_CmdProbe(const double* start, const double* end, double speed);
TELVO_API int TELVO_CALL telvo_GetProbePos(double* pos);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* Layout checks: every record keeps its wire size and offsets. */
#ifdef __cplusplus
#  include <cstddef>
#  define TELVO_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#  include <stddef.h>
#  define TELVO_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
TELVO_STATIC_ASSERT(sizeof(AxisConfig) == 30, "AxisConfig is 30 bytes");
TELVO_STATIC_ASSERT(offsetof(AxisConfig, maxVelocity) == 4, "AxisConfig.maxVelocity");
TELVO_STATIC_ASSERT(offsetof(AxisConfig, acceleration) == 8, "AxisConfig.acceleration");
TELVO_STATIC_ASSERT(offsetof(AxisConfig, slaveOf) == 12, "AxisConfig.slaveOf");
TELVO_STATIC_ASSERT(offsetof(AxisConfig, deviceParam1) == 13, "AxisConfig.deviceParam1");
TELVO_STATIC_ASSERT(offsetof(AxisConfig, deviceParam2) == 17, "AxisConfig.deviceParam2");
TELVO_STATIC_ASSERT(offsetof(AxisConfig, auxVelocity) == 21, "AxisConfig.auxVelocity");
TELVO_STATIC_ASSERT(offsetof(AxisConfig, deviceParam3) == 25, "AxisConfig.deviceParam3");
TELVO_STATIC_ASSERT(offsetof(AxisConfig, deviceParam4) == 29, "AxisConfig.deviceParam4");
TELVO_STATIC_ASSERT(sizeof(MachineConfig) == 231, "MachineConfig is 231 bytes");
TELVO_STATIC_ASSERT(offsetof(MachineConfig, machineParam1) == 210, "MachineConfig.machineParam1");
TELVO_STATIC_ASSERT(offsetof(MachineConfig, machineParam2) == 211, "MachineConfig.machineParam2");
TELVO_STATIC_ASSERT(offsetof(MachineConfig, machineParam3) == 215, "MachineConfig.machineParam3");
TELVO_STATIC_ASSERT(offsetof(MachineConfig, machineParam4) == 219, "MachineConfig.machineParam4");
TELVO_STATIC_ASSERT(offsetof(MachineConfig, machineParam5) == 223, "MachineConfig.machineParam5");
TELVO_STATIC_ASSERT(offsetof(MachineConfig, machineSwitch1) == 224, "MachineConfig.machineSwitch1");
TELVO_STATIC_ASSERT(offsetof(MachineConfig, machineParam6) == 225, "MachineConfig.machineParam6");
TELVO_STATIC_ASSERT(offsetof(MachineConfig, reserved) == 226, "MachineConfig.reserved");
TELVO_STATIC_ASSERT(offsetof(MachineConfig, machineSwitch2) == 230, "MachineConfig.machineSwitch2");
TELVO_STATIC_ASSERT(sizeof(PinEntry) == 2, "PinEntry is 2 bytes");
TELVO_STATIC_ASSERT(sizeof(IoConfig) == 126, "IoConfig is 126 bytes");
TELVO_STATIC_ASSERT(offsetof(IoConfig, ioValues) == 94, "IoConfig.ioValues");
TELVO_STATIC_ASSERT(sizeof(MachineStatus) == 62, "MachineStatus is 62 bytes");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, deviceWord0) == 4, "MachineStatus.deviceWord0");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, deviceWord1) == 6, "MachineStatus.deviceWord1");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, position) == 8, "MachineStatus.position");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, spindleRpm) == 36, "MachineStatus.spindleRpm");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, bufferLevel) == 40, "MachineStatus.bufferLevel");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, deviceInt0) == 42, "MachineStatus.deviceInt0");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, deviceInt1) == 46, "MachineStatus.deviceInt1");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, deviceInt2) == 50, "MachineStatus.deviceInt2");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, deviceByte) == 54, "MachineStatus.deviceByte");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, eventAxis) == 55, "MachineStatus.eventAxis");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, segmentTag) == 56, "MachineStatus.segmentTag");
TELVO_STATIC_ASSERT(offsetof(MachineStatus, deviceWord2) == 60, "MachineStatus.deviceWord2");
TELVO_STATIC_ASSERT(sizeof(MotionSegment) == 54, "MotionSegment is 54 bytes");
TELVO_STATIC_ASSERT(offsetof(MotionSegment, tag) == 48, "MotionSegment.tag");
TELVO_STATIC_ASSERT(offsetof(MotionSegment, segmentCode) == 52, "MotionSegment.segmentCode");
TELVO_STATIC_ASSERT(offsetof(MotionSegment, segmentAux) == 53, "MotionSegment.segmentAux");
#undef TELVO_STATIC_ASSERT

#endif /* TELVO_TELVO_H */
