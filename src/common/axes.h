// The axis count: axes 0-5 move; the configuration's seventh record is only
// forwarded. Axes 3, 4 and 5 may follow a master axis (slaving).
#pragma once

namespace telvo {

constexpr int kMotionAxes = 6;
constexpr int kFirstSlavedAxis = 3;

}  // namespace telvo
