/* A host program as an MSVC user builds it: compiled for the MSVC ABI
 * (clang --target=*-pc-windows-msvc), linked with lld-link against the
 * packed telvo.lib, with no C runtime (/nodefaultlib, its own entry point),
 * calling kernel32 directly. Against the simulated controller (WinUsb.dll
 * of the Windows tests, whose control API advances its clock) it opens,
 * configures, streams a short move and reads a status record; the exit
 * status is the number of failed checks (0: all passed). */
#include <stddef.h>
#include <stdint.h>

#include "telvo/telvo.h"

#define WINAPI __stdcall
#define STD_OUTPUT_HANDLE ((unsigned long)-11)
typedef void* HANDLE;
__declspec(dllimport) void WINAPI ExitProcess(unsigned int code);
__declspec(dllimport) HANDLE WINAPI GetStdHandle(unsigned long which);
__declspec(dllimport) int WINAPI WriteFile(HANDLE file, const void* data, unsigned long count,
                                           unsigned long* written, void* overlapped);

/* The simulated controller's control API (cdecl, exported by its WinUsb.dll). */
__declspec(dllimport) void tsim_advance_ms(int ms);
__declspec(dllimport) int64_t tsim_executed_count(void);
__declspec(dllimport) int tsim_protocol_error_count(void);

/* What the compiler may call without a C runtime: zeroing of records, and
 * the marker that floating point is used. */
void* memset(void* to, int value, size_t count) {
    volatile unsigned char* p = (volatile unsigned char*)to;
    while (count-- > 0) *p++ = (unsigned char)value;
    return to;
}
void* memcpy(void* to, const void* from, size_t count) {
    volatile unsigned char* p = (volatile unsigned char*)to;
    const unsigned char* q = (const unsigned char*)from;
    while (count-- > 0) *p++ = *q++;
    return to;
}
int _fltused = 0;

static int failures;

static void say(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    unsigned long written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (unsigned long)n, &written, NULL);
}

/* 32-bit arithmetic: 64-bit division would need the C runtime on x86. */
static void sayNumber(long value) {
    char digits[16];
    int i = (int)sizeof digits - 1;
    int negative = value < 0;
    unsigned long magnitude = negative ? 0ul - (unsigned long)value : (unsigned long)value;
    digits[i] = '\0';
    do {
        digits[--i] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) digits[--i] = '-';
    say(digits + i);
}

static void check(int ok, const char* what, long got) {
    say(ok ? "ok      " : "FAILED  ");
    say(what);
    say(": ");
    sayNumber(got);
    say("\r\n");
    if (!ok) ++failures;
}

static int sameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

static int awaitStatus(MachineStatus* status) {
    for (int i = 0; i < 10; ++i) {
        tsim_advance_ms(1);
        if (telvo_GetStatus(status) == 1) return 1;
    }
    return 0;
}

enum { kSegments = 200 };

void consumer_main(void) {
    check(sameText(telvo_GetFirmwareVersion(), "00.00"), "firmware 00.00 before the open", 0);
    check(telvo_Open() == 1, "telvo_Open", 1);
    say("firmware ");
    say(telvo_GetFirmwareVersion());
    say("\r\n");
    check(!sameText(telvo_GetFirmwareVersion(), "00.00"), "the firmware version was read", 0);

    MachineConfig config;
    IoConfig io;
    memset(&config, 0, sizeof config);
    memset(&io, 0, sizeof io);
    for (int a = 0; a < 7; ++a) {
        config.axes[a].stepsPerUnit = 1000;
        config.axes[a].maxVelocity = 50000;
        config.axes[a].acceleration = 100000;
    }
    check(telvo_Init(&config, &io) == 1, "telvo_Init", 1);

    MachineStatus status;
    telvo_BufClear();
    check(awaitStatus(&status), "a first status record", 1);
    telvo_PosResync();

    /* Axis 0 moves 0.5 steps per millisecond; the others stay. */
    int added = 0;
    for (int ms = 0; ms < 20 * kSegments && tsim_executed_count() < kSegments; ++ms) {
        tsim_advance_ms(1);
        if (telvo_GetStatus(&status) == 1) telvo_BufUpdate();
        while (added < kSegments && telvo_BufFreeCnt() > 0) {
            MotionSegment segment;
            memset(&segment, 0, sizeof segment);
            segment.target[0] = 0.5 * added;
            segment.tag = added + 1;
            if (telvo_BufAdd(&segment) != 1) break;
            ++added;
        }
    }
    check(tsim_executed_count() == kSegments, "segments executed", (long)tsim_executed_count());
    check(awaitStatus(&status), "a status record after the move", 1);
    check(status.length == sizeof(MachineStatus), "status length", status.length);
    /* floor(0.5 * 199 + 0.5) = 100 */
    check(status.position[0] == kSegments / 2, "axis 0 position", status.position[0]);
    check(status.position[1] == 0, "axis 1 position", status.position[1]);
    check(status.segmentTag == kSegments, "segment tag", status.segmentTag);
    check(tsim_protocol_error_count() == 0, "protocol errors", tsim_protocol_error_count());
    check(telvo_Close() != 0, "telvo_Close", 1);

    say(failures == 0 ? "msvc consumer: passed\r\n" : "msvc consumer: FAILED\r\n");
    ExitProcess((unsigned int)failures);
}
