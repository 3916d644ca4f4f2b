// The simulated controller's control API, bound at run time.
//
// On POSIX the library drives whatever device backend module it loaded: the
// one TELVO_BACKEND names (the tool sets it from --controller before the
// library loads, see tools/backend.h), looked for beside libtelvo.so and then
// by the loader's usual search. When that module is the simulator it also
// exports the tsim_* control functions; the tool looks them up in the very
// module the library bound, so it steers the same simulator instance the
// library talks to. When they are missing the module is a real USB backend
// and the tool drives the real controller. On Windows the same holds for
// WinUsb.dll: the simulated one (used under Wine) exports the control API,
// the system's does not.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace telvo::tool {

struct SimWrite {
    uint8_t pipe = 0;
    int device = 0;
    bool failed = false;
    std::vector<uint8_t> bytes;
};

// The control API of the simulated controller the library bound.
class SimControl {
public:
    // The simulator bound by the library, or null for a real controller.
    static std::unique_ptr<SimControl> attach();
    // Why attach() found none, for the error the tool reports.
    static std::string missingText();
    ~SimControl();

    const std::string& modulePath() const { return path_; }

    void reset();
    void setRealtime(double speed);
    void advanceMs(int ms);
    int64_t clockMs();
    void setBufferSize(int size);
    void setHomingTime(int ms);
    void setProbeSurface(int axis, int32_t threshold, int direction);
    void setProbeDecel(int ms);

    // Writes made since the last call (the log is emptied after reading).
    std::vector<SimWrite> takeWrites();
    int64_t executedCount();
    int64_t blockCount();
    std::vector<std::string> protocolErrors();

    struct Api;

private:
    SimControl() = default;
    std::unique_ptr<Api> api_;
    void* handle_ = nullptr;
    std::string path_;
};

}  // namespace telvo::tool
