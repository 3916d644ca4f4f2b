/* Prints the layout of telvo.h's records as the C compiler sees it (to the
 * file named by the argument, else to stdout), the table the bindings'
 * layout tests compare their own records with:
 *
 *   record NAME SIZE
 *   field NAME FIELD OFFSET SIZE
 *
 * Every field of every record is listed, in order. The program checks that
 * the listed fields tile each record without a gap or an overlap, so a
 * field added to the header and not here stops it (exit 1) instead of
 * going unchecked. */
#include <stddef.h>
#include <stdio.h>

#include "telvo/telvo.h"

static int failures;
static const char* current;
static size_t expectedOffset;
static size_t recordSize;

static void record(const char* name, size_t size) {
    if (current != NULL && expectedOffset != recordSize) {
        fprintf(stderr, "layout_table: the fields of %s end at %zu of %zu bytes\n", current, expectedOffset,
                recordSize);
        ++failures;
    }
    current = name;
    expectedOffset = 0;
    recordSize = size;
    if (name != NULL) printf("record %s %zu\n", name, size);
}

static void field(const char* name, size_t offset, size_t size) {
    if (offset != expectedOffset) {
        fprintf(stderr, "layout_table: %s.%s at %zu, expected %zu (a field not listed here?)\n", current, name,
                offset, expectedOffset);
        ++failures;
    }
    expectedOffset = offset + size;
    printf("field %s %s %zu %zu\n", current, name, offset, size);
}

#define RECORD(T) record(#T, sizeof(T))
#define FIELD(T, f) field(#f, offsetof(T, f), sizeof(((T*)0)->f))

int main(int argc, char** argv) {
    if (argc > 1 && freopen(argv[1], "w", stdout) == NULL) {
        perror(argv[1]);
        return 2;
    }
    RECORD(AxisConfig);
    FIELD(AxisConfig, stepsPerUnit);
    FIELD(AxisConfig, maxVelocity);
    FIELD(AxisConfig, acceleration);
    FIELD(AxisConfig, slaveOf);
    FIELD(AxisConfig, deviceParam1);
    FIELD(AxisConfig, deviceParam2);
    FIELD(AxisConfig, auxVelocity);
    FIELD(AxisConfig, deviceParam3);
    FIELD(AxisConfig, deviceParam4);

    RECORD(MachineConfig);
    FIELD(MachineConfig, axes);
    FIELD(MachineConfig, machineParam1);
    FIELD(MachineConfig, machineParam2);
    FIELD(MachineConfig, machineParam3);
    FIELD(MachineConfig, machineParam4);
    FIELD(MachineConfig, machineParam5);
    FIELD(MachineConfig, machineSwitch1);
    FIELD(MachineConfig, machineParam6);
    FIELD(MachineConfig, reserved);
    FIELD(MachineConfig, machineSwitch2);

    RECORD(PinEntry);
    FIELD(PinEntry, pin);
    FIELD(PinEntry, pinFlags);

    RECORD(IoConfig);
    FIELD(IoConfig, pins);
    FIELD(IoConfig, ioValues);

    RECORD(MachineStatus);
    FIELD(MachineStatus, length);
    FIELD(MachineStatus, state);
    FIELD(MachineStatus, event);
    FIELD(MachineStatus, flags);
    FIELD(MachineStatus, deviceWord0);
    FIELD(MachineStatus, deviceWord1);
    FIELD(MachineStatus, position);
    FIELD(MachineStatus, spindleRpm);
    FIELD(MachineStatus, bufferLevel);
    FIELD(MachineStatus, deviceInt0);
    FIELD(MachineStatus, deviceInt1);
    FIELD(MachineStatus, deviceInt2);
    FIELD(MachineStatus, deviceByte);
    FIELD(MachineStatus, eventAxis);
    FIELD(MachineStatus, segmentTag);
    FIELD(MachineStatus, deviceWord2);

    RECORD(MotionSegment);
    FIELD(MotionSegment, target);
    FIELD(MotionSegment, tag);
    FIELD(MotionSegment, segmentCode);
    FIELD(MotionSegment, segmentAux);

    record(NULL, 0);
    if (fflush(stdout) != 0) return 2;
    return failures == 0 ? 0 : 1;
}
