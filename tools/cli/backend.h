// --controller: which device backend module the library binds.
//
// The library binds its backend module while it is itself loaded, reading
// TELVO_BACKEND (a file name, looked for beside libtelvo.so and then by the
// loader; or a path). The tool links the library, so by the time it has read
// its command line the library is already loaded: when TELVO_BACKEND does
// not already name the chosen module, the tool sets it and executes itself
// once more, with the same arguments, so the fresh process loads the library
// with the right module. On Windows the library always loads WinUsb.dll, so
// nothing is done there: `usb` drives the WinUsb.dll found as today, `sim`
// requires it to be the simulated one.
#pragma once

#include "cli/commands/command.h"

namespace telvo::tool {

// The module file a choice names.
const char* backendModule(ControllerChoice choice);

// Makes the library bind the chosen module: returns when it already does (or
// on Windows), else replaces the process and does not return. Throws
// ToolError when the process cannot be replaced.
void useBackend(ControllerChoice choice, char** argv);

}  // namespace telvo::tool
