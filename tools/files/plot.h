// The run plot: the commanded toolpath against the executed one in the XY
// plane (executed = the controller's reported positions), and the
// controller's buffer level over time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/svg.h"

namespace telvo::tool {

struct PlotData {
    std::string title;
    std::string units = "mm";
    std::vector<Point> commanded;  // XY, machine units
    std::vector<uint8_t>
        commandedRapid;              // 1 where a commanded point is on a rapid (may be shorter)
    std::vector<Point> executed;     // XY, machine units
    std::vector<Point> bufferLevel;  // (seconds, segments held)
    double bufferSize = 1000.0;
    std::optional<Point> probe;  // XY of a probe trigger
    std::string probeLabel;
};

std::string renderPlot(const PlotData& data);

// Writes text to a file; throws ToolError when it cannot.
void writeTextFile(const std::string& path, const std::string& text);

}  // namespace telvo::tool
