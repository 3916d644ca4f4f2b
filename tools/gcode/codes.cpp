// The G-code table; see gcodewords.h.
#include "gcode/codes.h"

#include <array>

namespace telvo::tool {
namespace {

constexpr const char* kSync = "spindle-synchronised motion is not supported";

constexpr std::array kTable = {
    GWordInfo{0, kGroupMotion, "rapid move", nullptr, nullptr},
    GWordInfo{10, kGroupMotion, "straight feed move", nullptr, nullptr},
    GWordInfo{20, kGroupMotion, "clockwise arc or helix", nullptr, nullptr},
    GWordInfo{30, kGroupMotion, "counterclockwise arc or helix", nullptr, nullptr},
    GWordInfo{40, kGroupNonModal, "dwell P seconds", nullptr, nullptr},
    GWordInfo{50, kGroupMotion, "cubic spline", "splines (G5) are not supported",
              "output lines and arcs"},
    GWordInfo{51, kGroupMotion, "quadratic spline", "splines (G5.1) are not supported",
              "output lines and arcs"},
    GWordInfo{52, kGroupMotion, "NURBS", "NURBS (G5.2) are not supported", "output lines and arcs"},
    GWordInfo{70, kGroupNonModal, "lathe diameter mode", "lathe modes (G7/G8) are not supported",
              nullptr},
    GWordInfo{80, kGroupNonModal, "lathe radius mode", "lathe modes (G7/G8) are not supported",
              nullptr},
    GWordInfo{100, kGroupNonModal, "set work offsets (L2, L20)", nullptr, nullptr},
    GWordInfo{170, kGroupPlane, "XY plane", nullptr, nullptr},
    GWordInfo{180, kGroupPlane, "ZX plane", nullptr, nullptr},
    GWordInfo{190, kGroupPlane, "YZ plane", nullptr, nullptr},
    GWordInfo{171, kGroupPlane, "UV plane", "planes G17.1-G19.1 are not supported", nullptr},
    GWordInfo{181, kGroupPlane, "WU plane", "planes G17.1-G19.1 are not supported", nullptr},
    GWordInfo{191, kGroupPlane, "VW plane", "planes G17.1-G19.1 are not supported", nullptr},
    GWordInfo{200, kGroupUnits, "inches", nullptr, nullptr},
    GWordInfo{210, kGroupUnits, "millimetres", nullptr, nullptr},
    GWordInfo{280, kGroupNonModal, "go to the G28 position", nullptr, nullptr},
    GWordInfo{281, kGroupNonModal, "store the G28 position", nullptr, nullptr},
    GWordInfo{300, kGroupNonModal, "go to the G30 position", nullptr, nullptr},
    GWordInfo{301, kGroupNonModal, "store the G30 position", nullptr, nullptr},
    GWordInfo{330, kGroupMotion, "spindle-synchronised move", kSync, nullptr},
    GWordInfo{331, kGroupMotion, "rigid tapping", kSync, nullptr},
    GWordInfo{382, kGroupMotion, "probe", "probing moves (G38.x) are not run from part programs",
              "use `telvo probe`"},
    GWordInfo{383, kGroupMotion, "probe", "probing moves (G38.x) are not run from part programs",
              "use `telvo probe`"},
    GWordInfo{384, kGroupMotion, "probe", "probing moves (G38.x) are not run from part programs",
              "use `telvo probe`"},
    GWordInfo{385, kGroupMotion, "probe", "probing moves (G38.x) are not run from part programs",
              "use `telvo probe`"},
    GWordInfo{400, kGroupCutter, "cutter compensation off", nullptr, nullptr},
    GWordInfo{410, kGroupCutter, "cutter compensation left (D tool)", nullptr, nullptr},
    GWordInfo{411, kGroupCutter, "cutter compensation left (D diameter)", nullptr, nullptr},
    GWordInfo{420, kGroupCutter, "cutter compensation right (D tool)", nullptr, nullptr},
    GWordInfo{421, kGroupCutter, "cutter compensation right (D diameter)", nullptr, nullptr},
    GWordInfo{430, kGroupLength, "tool length offset from the tool table (H)", nullptr, nullptr},
    GWordInfo{431, kGroupLength, "dynamic tool length offset", nullptr, nullptr},
    GWordInfo{432, kGroupLength, "added tool length offset", "G43.2 is not supported", "use G43 H"},
    GWordInfo{490, kGroupLength, "tool length offset off", nullptr, nullptr},
    GWordInfo{520, kGroupNonModal, "local offset", "G52 is not supported", "use G92 or G10 L20"},
    GWordInfo{530, kGroupNonModal, "move in machine coordinates", nullptr, nullptr},
    GWordInfo{540, kGroupCoords, "work offset 1", nullptr, nullptr},
    GWordInfo{550, kGroupCoords, "work offset 2", nullptr, nullptr},
    GWordInfo{560, kGroupCoords, "work offset 3", nullptr, nullptr},
    GWordInfo{570, kGroupCoords, "work offset 4", nullptr, nullptr},
    GWordInfo{580, kGroupCoords, "work offset 5", nullptr, nullptr},
    GWordInfo{590, kGroupCoords, "work offset 6", nullptr, nullptr},
    GWordInfo{591, kGroupCoords, "work offset 7", nullptr, nullptr},
    GWordInfo{592, kGroupCoords, "work offset 8", nullptr, nullptr},
    GWordInfo{593, kGroupCoords, "work offset 9", nullptr, nullptr},
    GWordInfo{610, kGroupPath, "exact path", nullptr, nullptr},
    GWordInfo{611, kGroupPath, "exact stop", nullptr, nullptr},
    GWordInfo{640, kGroupPath, "blending within P", nullptr, nullptr},
    GWordInfo{730, kGroupMotion, "chip-breaking drilling cycle", nullptr, nullptr},
    GWordInfo{760, kGroupMotion, "threading cycle", kSync, nullptr},
    GWordInfo{800, kGroupMotion, "cancel the motion mode", nullptr, nullptr},
    GWordInfo{810, kGroupMotion, "drilling cycle", nullptr, nullptr},
    GWordInfo{820, kGroupMotion, "drilling cycle with dwell", nullptr, nullptr},
    GWordInfo{830, kGroupMotion, "peck drilling cycle", nullptr, nullptr},
    GWordInfo{840, kGroupMotion, "tapping cycle", kSync, nullptr},
    GWordInfo{850, kGroupMotion, "boring cycle, feed out", nullptr, nullptr},
    GWordInfo{860, kGroupMotion, "boring cycle, spindle stop, rapid out", nullptr, nullptr},
    GWordInfo{870, kGroupMotion, "boring cycle", "back boring (G87) is not supported",
              "supported cycles: G73 G81 G82 G83 G85 G86 G89"},
    GWordInfo{880, kGroupMotion, "boring cycle", "manual boring (G88) is not supported",
              "supported cycles: G73 G81 G82 G83 G85 G86 G89"},
    GWordInfo{890, kGroupMotion, "boring cycle with dwell, feed out", nullptr, nullptr},
    GWordInfo{900, kGroupDistance, "absolute coordinates", nullptr, nullptr},
    GWordInfo{910, kGroupDistance, "incremental coordinates", nullptr, nullptr},
    GWordInfo{901, kGroupArcDistance, "absolute arc centres", nullptr, nullptr},
    GWordInfo{911, kGroupArcDistance, "incremental arc centres", nullptr, nullptr},
    GWordInfo{920, kGroupNonModal, "set axis offsets", nullptr, nullptr},
    GWordInfo{921, kGroupNonModal, "clear axis offsets", nullptr, nullptr},
    GWordInfo{922, kGroupNonModal, "suspend axis offsets", "G92.2 is not supported", "use G92.1"},
    GWordInfo{923, kGroupNonModal, "restore axis offsets", "G92.3 is not supported", nullptr},
    GWordInfo{930, kGroupFeedMode, "inverse-time feed", nullptr, nullptr},
    GWordInfo{940, kGroupFeedMode, "units per minute feed", nullptr, nullptr},
    GWordInfo{950, kGroupFeedMode, "units per revolution feed",
              "feed per revolution (G95) is spindle-synchronised and not supported", "use G94"},
    GWordInfo{960, kGroupSpindleMode, "constant surface speed",
              "constant surface speed (G96) is not supported", "use G97 and S in rpm"},
    GWordInfo{970, kGroupSpindleMode, "spindle speed in rpm", nullptr, nullptr},
    GWordInfo{980, kGroupRetract, "cycles retract to the start level", nullptr, nullptr},
    GWordInfo{990, kGroupRetract, "cycles retract to R", nullptr, nullptr},
};

}  // namespace

std::span<const GWordInfo> gWordTable() {
    return kTable;
}

const GWordInfo* findGWord(int code10) {
    // Indexed once: programs have a G word or two on most of their lines.
    static const std::array<const GWordInfo*, 1000> index = [] {
        std::array<const GWordInfo*, 1000> out{};
        for (const GWordInfo& g : kTable) out[static_cast<size_t>(g.code)] = &g;
        return out;
    }();
    return code10 >= 0 && code10 < 1000 ? index[static_cast<size_t>(code10)] : nullptr;
}

}  // namespace telvo::tool
