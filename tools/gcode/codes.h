// The G-codes the interpreter knows: their modal groups, and for the ones it
// does not run, the message that names the feature. One table, read by the
// interpreter, the tests and the documentation.
#pragma once

#include <span>

namespace telvo::tool {

// Modal groups as RS274/NGC numbers them (0: non-modal codes).
enum GGroup : int {
    kGroupNonModal = 0,
    kGroupMotion,
    kGroupPlane,
    kGroupDistance,
    kGroupArcDistance,
    kGroupFeedMode,
    kGroupUnits,
    kGroupCutter,
    kGroupLength,
    kGroupRetract,
    kGroupCoords,
    kGroupPath,
    kGroupSpindleMode,
    kGroupCount
};

struct GWordInfo {
    int code;  // G number times 10 (G61.1 = 611)
    int group;
    const char* meaning;
    const char* refusal;  // null: supported
    const char* hint;     // may be null
};

// Every G-code with an entry; codes without one are refused as unknown.
std::span<const GWordInfo> gWordTable();
const GWordInfo* findGWord(int code10);

}  // namespace telvo::tool
