// The 26 exports of telvo.dll, resolved at run time by their undecorated
// names the way a host that loads the library dynamically finds them.
#pragma once

#include <windows.h>

#include "telvo/telvo.h"

#define TELVO_EXPORT_LIST(X) \
    X(telvo_Open)            \
    X(telvo_Close)           \
    X(telvo_GetFirmwareVersion) \
    X(telvo_Init)            \
    X(telvo_GetStatus)       \
    X(telvo_CmdPurge)        \
    X(telvo_CmdStop)         \
    X(telvo_CmdSetOutputs)   \
    X(telvo_CmdJogOn)        \
    X(telvo_CmdJogOff)       \
    X(telvo_CmdSpindle)      \
    X(telvo_CmdHomeAxis)     \
    X(telvo_SetupMPG)        \
    X(telvo_Disconnect)      \
    X(telvo_IsHoming)        \
    X(telvo_IsProbing)       \
    X(telvo_GetProbeResult)  \
    X(telvo_BufAdd)          \
    X(telvo_BufFreeCnt)      \
    X(telvo_BufEmpty)        \
    X(telvo_BufClear)        \
    X(telvo_SetBuffSize)     \
    X(telvo_BufUpdate)       \
    X(telvo_PosResync)       \
    X(telvo_CmdProbe)        \
    X(telvo_GetProbePos)

struct TelvoExports {
#define TELVO_DECLARE_ENTRY(name) decltype(&::name) name = nullptr;
    TELVO_EXPORT_LIST(TELVO_DECLARE_ENTRY)
#undef TELVO_DECLARE_ENTRY

    HMODULE module = nullptr;
    int found = 0;
    int expected = 0;

    // Loads the DLL and looks up every name; found == expected == 26 when all are there.
    bool load(const char* fileName) {
        module = LoadLibraryA(fileName);
        if (module == nullptr) return false;
#define TELVO_RESOLVE_ENTRY(name)                                                    \
    ++expected;                                                                      \
    name = reinterpret_cast<decltype(name)>(                                         \
        reinterpret_cast<void*>(GetProcAddress(module, #name)));                     \
    if (name != nullptr) ++found;
        TELVO_EXPORT_LIST(TELVO_RESOLVE_ENTRY)
#undef TELVO_RESOLVE_ENTRY
        return found == expected;
    }
};
