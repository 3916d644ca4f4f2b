// Machine configuration: the axis block (code 9) and I/O block (code 11) in
// the controller's format, and the per-axis limits in user units.
#include "config/config.h"

#include <cstring>

#include "common/axes.h"
#include "common/bytes.h"
#include "common/fpconv.h"
#include "config/config_state.h"
#include "link/link.h"

namespace telvo::config {

uint8_t axisConfigBlock[kAxisBlockSize];
uint8_t ioConfigBlock[kIoBlockSize];
AxisLimits axisLimits;

namespace {

constexpr int kAxisRecords = 7;
constexpr int kAxisRecordSize = 34;
constexpr int kSlaveByte = 24;                    // offset of slaveOf within an axis record
constexpr double kAccelerationFactor = 0.016384;  // 4096 / 250 000
constexpr double kMinStepsPerUnit = 1e-10;

// Bank and slot of each of the 47 pin entries: high bank 0-21 in order, the
// low bank for the rest (six per-axis couples 28-39 to slots 12+a and 6+a).
struct Placement {
    bool high;
    uint8_t slot;
};
constexpr Placement placementOf(int entry) {
    if (entry <= 21) return {true, static_cast<uint8_t>(entry)};
    if (entry <= 27) return {false, static_cast<uint8_t>(entry - 22)};
    if (entry <= 39) {
        const int axis = (entry - 28) / 2;
        const bool first = (entry - 28) % 2 == 0;
        return {false, static_cast<uint8_t>(first ? 2 * kMotionAxes + axis : kMotionAxes + axis)};
    }
    constexpr uint8_t tail[] = {19, 21, 25, 27, 26, 28, 18};  // entries 40-46
    return {false, tail[entry - 40]};
}

constexpr int kLowBank = 0;
constexpr int kHighBank = 32;
constexpr int kLowFlag0Mask = 64;
constexpr int kHighFlag0Mask = 68;
constexpr int kLowFlag1Mask = 72;
constexpr int kHighFlag1Mask = 76;
constexpr int kIoValues = 80;

}  // namespace

const AxisLimits& limits() {
    return axisLimits;
}

int masterOf(int axis) {
    if (axis < kFirstSlavedAxis || axis >= kMotionAxes) return -1;
    const uint8_t slave = axisConfigBlock[axis * kAxisRecordSize + kSlaveByte];
    return slave >= 1 && slave <= kMotionAxes ? slave - 1 : -1;
}

void buildAxisBlock(const MachineConfig& config, uint8_t out[kAxisBlockSize]) {
    for (int k = 0; k < kAxisRecords; ++k) {
        const AxisConfig& a = config.axes[k];
        uint8_t* r = out + k * kAxisRecordSize;
        putI32(r + 0, a.stepsPerUnit);
        putI32(r + 4, velocityForm(a.maxVelocity));
        putI32(r + 8, truncToInt32(static_cast<double>(a.acceleration) * kAccelerationFactor));
        putI32(r + 12, a.deviceParam1);
        putI32(r + 16, a.deviceParam2);
        putI32(r + 20, 0);
        putU8(r + 24, a.slaveOf);
        putI32(r + 25, velocityForm(a.auxVelocity));
        putI32(r + 29, a.deviceParam3);
        putU8(r + 33, a.deviceParam4);
    }
    putU8(out + 238, 0);
    putU8(out + 239, config.machineParam1);
    putI32(out + 240, config.machineParam2);
    putI32(out + 244, config.machineParam3);
    putI32(out + 248, config.machineParam4);
    putU8(out + 252, 0);
    putU8(out + 253, config.machineParam5);
    putU16(out + 254, 500);
    putU8(out + 256, config.machineParam6);
    putU16(out + 257, 1);
    putU8(out + 259, config.machineSwitch2 != 0 ? 1 : 0);
    putU8(out + 260, 1);
    putU8(out + 261, config.machineSwitch1 & 1u);
}

void buildIoBlock(const IoConfig& io, uint8_t out[kIoBlockSize]) {
    std::memset(out, 0, kIoBlockSize);
    uint32_t flag0[2] = {0, 0};  // [low, high]
    uint32_t flag1[2] = {0, 0};
    for (int e = 0; e < 47; ++e) {
        const Placement p = placementOf(e);
        const int bank = p.high ? 1 : 0;
        out[(p.high ? kHighBank : kLowBank) + p.slot] = io.pins[e].pin;
        if (io.pins[e].pinFlags & 1u) flag0[bank] |= 1u << p.slot;
        if (io.pins[e].pinFlags & 2u) flag1[bank] |= 1u << p.slot;
    }
    putU32(out + kLowFlag0Mask, flag0[0]);
    putU32(out + kHighFlag0Mask, flag0[1]);
    putU32(out + kLowFlag1Mask, flag1[0]);
    putU32(out + kHighFlag1Mask, flag1[1]);
    for (int i = 0; i < 16; ++i) putU16(out + kIoValues + 2 * i, io.ioValues[i]);
}

void computeAxisLimits(const MachineConfig& config) {
    for (int i = 0; i < kMotionAxes; ++i) {
        double s = static_cast<double>(config.axes[i].stepsPerUnit);
        if (s <= 0.0) s = kMinStepsPerUnit;
        axisLimits.stepsPerUnit[i] = s;
        axisLimits.accelerationLimit[i] = static_cast<double>(config.axes[i].acceleration) / s;
        axisLimits.velocityLimit[i] = static_cast<double>(config.axes[i].maxVelocity) / s;
    }
}

int storeBlocks(const MachineConfig* config, const IoConfig* io) {
    // Without both records there is nothing sound to send.
    if (config == nullptr || io == nullptr) return 0;
    buildAxisBlock(*config, axisConfigBlock);
    buildIoBlock(*io, ioConfigBlock);
    return 1;
}

void sendBlocks(const MachineConfig& config) {
    (void)link::sendCommand(link::kCmdAxisConfig, axisConfigBlock, kAxisBlockSize);
    (void)link::sendCommand(link::kCmdIoConfig, ioConfigBlock, kIoBlockSize);
    computeAxisLimits(config);
}

void reset() {
    std::memset(axisConfigBlock, 0, sizeof axisConfigBlock);
    std::memset(ioConfigBlock, 0, sizeof ioConfigBlock);
    axisLimits = AxisLimits{};
}

}  // namespace telvo::config
