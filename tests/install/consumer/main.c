/* A program outside the project that links an installed telvo.
 *
 *   consumer        before any open, the firmware version reads "00.00"
 *   consumer sim    with TELVO_BACKEND=libtelvo_sim.so: opens the simulated
 *                   controller from the installed module folder, configures
 *                   it, streams a short move, reads a status record and
 *                   checks where the axis stopped
 *
 * The simulator's clock is advanced through its control API, found in the
 * module the library loaded (by its file name, never a second copy). */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <telvo/telvo.h>
#include <telvo/telvo_backend.h>

#define SEGMENTS 200

static int fail(const char* what) {
    fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

static int runOnSimulator(void) {
    void* sim = dlopen("libtelvo_sim.so", RTLD_NOW | RTLD_NOLOAD);
    if (sim == NULL) return fail("the library did not load libtelvo_sim.so");
    void (*advance)(int) = (void (*)(int))dlsym(sim, "tsim_advance_ms");
    int64_t (*executed)(void) = (int64_t (*)(void))dlsym(sim, "tsim_executed_count");
    int (*protocolErrors)(void) = (int (*)(void))dlsym(sim, "tsim_protocol_error_count");
    const char* (*protocolError)(int) = (const char* (*)(int))dlsym(sim, "tsim_protocol_error_text");
    if (advance == NULL || executed == NULL || protocolErrors == NULL || protocolError == NULL)
        return fail("no simulator control API");

    if (telvo_Open() != 1) return fail("telvo_Open did not open the simulated controller");
    const char* firmware = telvo_GetFirmwareVersion();
    MachineConfig config;
    IoConfig io;
    memset(&config, 0, sizeof config);
    memset(&io, 0, sizeof io);
    for (int a = 0; a < 7; ++a) {
        config.axes[a].stepsPerUnit = 1000;
        config.axes[a].maxVelocity = 50000;
        config.axes[a].acceleration = 100000;
    }
    if (telvo_Init(&config, &io) != 1) return fail("telvo_Init failed");

    /* The stream starts where the controller stands: from its first frame. */
    MachineStatus status;
    telvo_BufClear();
    int framed = 0;
    for (int i = 0; i < 10 && !framed; ++i) {
        advance(1);
        framed = telvo_GetStatus(&status) == 1;
    }
    if (!framed) return fail("no first status record");
    telvo_PosResync();

    /* Axis 0 moves 0.5 steps per millisecond; axis 1 stays. */
    int added = 0;
    for (int ms = 0; ms < 20 * SEGMENTS && executed() < SEGMENTS; ++ms) {
        advance(1);
        if (telvo_GetStatus(&status) == 1) telvo_BufUpdate();
        while (added < SEGMENTS && telvo_BufFreeCnt() > 0) {
            MotionSegment segment;
            memset(&segment, 0, sizeof segment);
            segment.target[0] = 0.5 * added;
            segment.tag = added + 1;
            if (telvo_BufAdd(&segment) != 1) return fail("telvo_BufAdd refused a segment");
            ++added;
        }
    }
    if (executed() != SEGMENTS) return fail("the controller did not execute every segment");
    int fresh = 0;
    for (int i = 0; i < 10 && !fresh; ++i) {
        advance(1);
        fresh = telvo_GetStatus(&status) == 1;
    }
    if (!fresh) return fail("no status record");
    if (status.length != sizeof(MachineStatus) || status.position[0] != SEGMENTS / 2 || status.position[1] != 0 ||
        status.segmentTag != SEGMENTS) {
        fprintf(stderr, "consumer: status length %u, axis 0 at %d, axis 1 at %d, tag %d\n", status.length,
                status.position[0], status.position[1], status.segmentTag);
        return 1;
    }
    if (protocolErrors() != 0) {
        fprintf(stderr, "consumer: %d protocol errors, the first: %s\n", protocolErrors(), protocolError(0));
        return 1;
    }
    telvo_Close();
    printf("simulated controller %s: %d segments executed, axis 0 at %d steps\n", firmware, SEGMENTS,
           status.position[0]);
    return 0;
}

int main(int argc, char** argv) {
    const char* version = telvo_GetFirmwareVersion();
    printf("firmware %s, backend ABI %u\n", version, TELVO_BACKEND_ABI_VERSION);
    if (strcmp(version, "00.00") != 0) return 1;
    if (argc > 1 && strcmp(argv[1], "sim") == 0) return runOnSimulator();
    return 0;
}
