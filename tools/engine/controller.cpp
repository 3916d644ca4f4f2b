// Run-time binding of the simulator's control API (see controller.h).
#include "engine/controller.h"

#include <telvo/telvo.h>
#include <telvo/telvo_backend.h>

#include <fmt/format.h>

#include <cstdlib>
#include <type_traits>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <telvo_sim.h>

namespace telvo::tool {

struct SimControl::Api {
    decltype(&tsim_reset) reset = nullptr;
    decltype(&tsim_set_realtime) setRealtime = nullptr;
    decltype(&tsim_advance_ms) advanceMs = nullptr;
    decltype(&tsim_clock_ms) clockMs = nullptr;
    decltype(&tsim_set_buffer_size) setBufferSize = nullptr;
    decltype(&tsim_set_homing_time) setHomingTime = nullptr;
    decltype(&tsim_set_probe_surface) setProbeSurface = nullptr;
    decltype(&tsim_set_probe_decel) setProbeDecel = nullptr;
    decltype(&tsim_write_count) writeCount = nullptr;
    decltype(&tsim_write_get) writeGet = nullptr;
    decltype(&tsim_clear_writes) clearWrites = nullptr;
    decltype(&tsim_executed_count) executedCount = nullptr;
    decltype(&tsim_block_count) blockCount = nullptr;
    decltype(&tsim_protocol_error_count) protocolErrorCount = nullptr;
    decltype(&tsim_protocol_error_text) protocolErrorText = nullptr;
};

namespace {

// Looks up every control function; false when one is missing (a real
// backend has none of them).
template <typename Lookup>
bool bindAll(SimControl::Api& api, Lookup lookup) {
    auto bind = [&](const char* name, auto& slot) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(lookup(name));
        return slot != nullptr;
    };
    return bind("tsim_reset", api.reset) && bind("tsim_set_realtime", api.setRealtime) &&
           bind("tsim_advance_ms", api.advanceMs) && bind("tsim_clock_ms", api.clockMs) &&
           bind("tsim_set_buffer_size", api.setBufferSize) &&
           bind("tsim_set_homing_time", api.setHomingTime) &&
           bind("tsim_set_probe_surface", api.setProbeSurface) &&
           bind("tsim_set_probe_decel", api.setProbeDecel) &&
           bind("tsim_write_count", api.writeCount) && bind("tsim_write_get", api.writeGet) &&
           bind("tsim_clear_writes", api.clearWrites) &&
           bind("tsim_executed_count", api.executedCount) &&
           bind("tsim_block_count", api.blockCount) &&
           bind("tsim_protocol_error_count", api.protocolErrorCount) &&
           bind("tsim_protocol_error_text", api.protocolErrorText);
}

}  // namespace

#if defined(_WIN32)

std::unique_ptr<SimControl> SimControl::attach() {
    // The library loaded WinUsb.dll at its own load; a simulated one exports
    // the control API beside the WinUSB entry points.
    HMODULE module = GetModuleHandleA("WinUsb.dll");
    if (!module) return nullptr;
    auto api = std::make_unique<Api>();
    if (!bindAll(*api, [&](const char* name) {
            return reinterpret_cast<void*>(GetProcAddress(module, name));
        })) {
        return nullptr;
    }
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    std::unique_ptr<SimControl> sim(new SimControl());
    sim->api_ = std::move(api);
    sim->path_ = path;
    return sim;
}

SimControl::~SimControl() = default;

std::string SimControl::missingText() {
    return "no simulated controller: the WinUsb.dll the library loaded is the system's "
           "(for a controller on USB use --controller usb)";
}

#else

namespace {

// The modules the library may have bound: the one TELVO_BACKEND names, then
// the default module, which it binds when the variable is unset.
std::vector<std::string> boundModuleNames() {
    std::vector<std::string> names;
    // Nothing sets the environment once a command runs.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char* chosen = std::getenv(TELVO_BACKEND_VARIABLE);
    if (chosen != nullptr && *chosen != '\0') names.emplace_back(chosen);
    names.emplace_back(TELVO_BACKEND_MODULE_NAME);
    return names;
}

}  // namespace

std::unique_ptr<SimControl> SimControl::attach() {
    // The library binds the module while it is loaded, so by now it is
    // resident: RTLD_NOLOAD finds it and never loads a second copy. A name
    // without '/' is looked for beside libtelvo.so first, as the library
    // does, then by the loader's search.
    std::string libraryDir = ".";
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&telvo_Open), &info) && info.dli_fname) {
        std::string lib = info.dli_fname;
        size_t slash = lib.rfind('/');
        if (slash != std::string::npos) libraryDir = lib.substr(0, slash);
    }
    void* handle = nullptr;
    std::string path;
    for (const std::string& name : boundModuleNames()) {
        std::vector<std::string> candidates;
        if (name.find('/') == std::string::npos) {
            std::string beside = libraryDir;
            beside += '/';
            beside += name;
            candidates.push_back(std::move(beside));
        }
        candidates.push_back(name);
        for (const std::string& candidate : candidates) {
            handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_NOLOAD);
            if (handle) {
                path = candidate;
                break;
            }
        }
        if (handle) break;
    }
    if (!handle) return nullptr;

    auto api = std::make_unique<Api>();
    bool ok = bindAll(*api, [&](const char* name) { return dlsym(handle, name); });
    if (!ok) {
        dlclose(handle);
        return nullptr;
    }
    std::unique_ptr<SimControl> sim(new SimControl());
    sim->api_ = std::move(api);
    sim->handle_ = handle;
    sim->path_ = path;
    return sim;
}

std::string SimControl::missingText() {
    // Nothing sets the environment once a command runs.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char* chosen = std::getenv(TELVO_BACKEND_VARIABLE);
    return fmt::format(
        "no simulated controller: the library bound no module with its control API "
        "(TELVO_BACKEND={}; for a controller on USB use --controller usb)",
        chosen != nullptr ? chosen : "unset");
}

SimControl::~SimControl() {
    // Drops only the reference RTLD_NOLOAD took; the library keeps its own.
    if (handle_) dlclose(handle_);
}

#endif

void SimControl::reset() {
    api_->reset();
}
void SimControl::setRealtime(double speed) {
    api_->setRealtime(speed);
}
void SimControl::advanceMs(int ms) {
    api_->advanceMs(ms);
}
int64_t SimControl::clockMs() {
    return api_->clockMs();
}
void SimControl::setBufferSize(int size) {
    api_->setBufferSize(size);
}
void SimControl::setHomingTime(int ms) {
    api_->setHomingTime(ms);
}
void SimControl::setProbeSurface(int axis, int32_t threshold, int direction) {
    api_->setProbeSurface(axis, threshold, direction);
}
void SimControl::setProbeDecel(int ms) {
    api_->setProbeDecel(ms);
}

std::vector<SimWrite> SimControl::takeWrites() {
    std::vector<SimWrite> out;
    int count = api_->writeCount();
    for (int i = 0; i < count; ++i) {
        SimWrite w;
        int failed = 0;
        int length = api_->writeGet(i, &w.pipe, nullptr, 0, &w.device, &failed);
        if (length < 0) break;
        w.bytes.resize(static_cast<size_t>(length));
        api_->writeGet(i, &w.pipe, w.bytes.data(), length, &w.device, &failed);
        w.failed = failed != 0;
        out.push_back(std::move(w));
    }
    if (count > 0) api_->clearWrites();
    return out;
}

int64_t SimControl::executedCount() {
    return api_->executedCount();
}
int64_t SimControl::blockCount() {
    return api_->blockCount();
}

std::vector<std::string> SimControl::protocolErrors() {
    std::vector<std::string> out;
    int n = api_->protocolErrorCount();
    for (int i = 0; i < n; ++i) {
        const char* text = api_->protocolErrorText(i);
        out.emplace_back(text ? text : "");
    }
    return out;
}

}  // namespace telvo::tool
