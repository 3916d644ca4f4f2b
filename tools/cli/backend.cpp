// --controller (see backend.h).
#include "cli/backend.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#if !defined(_WIN32)
#include <unistd.h>

#include <telvo/telvo_backend.h>
#include <telvo_sim.h>
#endif

namespace telvo::tool {

const char* backendModule(ControllerChoice choice) {
#if defined(_WIN32)
    (void)choice;
    return "WinUsb.dll";
#else
    return choice == ControllerChoice::Sim ? TSIM_MODULE_NAME : TELVO_BACKEND_MODULE_NAME;
#endif
}

#if defined(_WIN32)

void useBackend(ControllerChoice, char**) {}

#else

namespace {

// True when `value` names `module`: the bare file name, or a path to a file
// of that name (a test may point at one build tree's module).
bool names(const std::string& value, const std::string& module) {
    if (value == module) return true;
    return value.size() > module.size() &&
           value.compare(value.size() - module.size(), module.size(), module) == 0 &&
           value[value.size() - module.size() - 1] == '/';
}

}  // namespace

// Called while the tool has only its main thread: the environment and
// strerror cannot race with anything.
// NOLINTBEGIN(concurrency-mt-unsafe)
void useBackend(ControllerChoice choice, char** argv) {
    const std::string module = backendModule(choice);
    const char* current = std::getenv("TELVO_BACKEND");
    if (current != nullptr && names(current, module)) return;
    if (setenv("TELVO_BACKEND", module.c_str(), 1) != 0) {
        throw ToolError(fmt::format("cannot set TELVO_BACKEND: {}", std::strerror(errno)));
    }
    (void)std::fflush(nullptr);
    execv("/proc/self/exe", argv);
    throw ToolError(
        fmt::format("cannot restart the tool to load {}: {}", module, std::strerror(errno)));
}
// NOLINTEND(concurrency-mt-unsafe)

#endif

}  // namespace telvo::tool
