// CSV target loader.
#include "files/csv.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

namespace telvo::tool {
namespace {

// Rounding slack of the velocity check, in steps.
constexpr double kStepSlack = 1e-6;

std::string trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return std::string(s.substr(b, e - b + 1));
}

std::vector<std::string> splitFields(std::string_view line) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (true) {
        size_t comma = line.find(',', pos);
        fields.push_back(trim(line.substr(
            pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos)));
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }
    return fields;
}

std::string formatSteps(double v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, std::round(v * 1000.0) / 1000.0);
    (void)ec;
    return std::string(buf, end);
}

void checkStep(const Vec6& from, const Vec6& to, const std::array<int, kAxisCount>& column,
               const MotionLimits& limits, int line, const char* what) {
    for (int a = 0; a < kAxisCount; ++a) {
        if (column[a] < 0) continue;
        double step = std::fabs(to[a] - from[a]);
        double allowed = limits[a].maxVelocity * kSegmentSeconds;
        if (step > allowed + kStepSlack) {
            throw LineError(line, std::string("axis ") + kAxisLetters[a] + " moves " +
                                      formatSteps(step) + " steps in 1 ms " + what +
                                      "; its max_velocity allows " + formatSteps(allowed));
        }
    }
}

}  // namespace

CsvTargets parseCsvTargets(std::string_view text, const MotionLimits& limits) {
    CsvTargets csv;
    csv.column.fill(-1);
    size_t columns = 0;
    bool haveLayout = false;
    int lineNo = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view raw =
            text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        ++lineNo;
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields = splitFields(line);

        if (!haveLayout) {
            haveLayout = true;
            bool header =
                std::isalpha(static_cast<unsigned char>(fields[0].empty() ? ' ' : fields[0][0])) !=
                0;
            if (fields.size() > static_cast<size_t>(kAxisCount)) {
                throw LineError(lineNo, "at most " + std::to_string(kAxisCount) +
                                            " columns (X, Y, Z, A, B, C), found " +
                                            std::to_string(fields.size()));
            }
            columns = fields.size();
            for (size_t c = 0; c < fields.size(); ++c) {
                int axis = static_cast<int>(c);
                if (header) {
                    axis = fields[c].size() == 1 ? axisIndex(fields[c][0]) : -1;
                    if (axis < 0)
                        throw LineError(lineNo, "column '" + fields[c] +
                                                    "' is not an axis letter (x, y, z, a, b, c)");
                    if (csv.column[axis] >= 0)
                        throw LineError(lineNo, "column '" + fields[c] + "' appears twice");
                }
                if (!limits[axis].enabled) {
                    throw LineError(lineNo, std::string("axis ") + kAxisLetters[axis] +
                                                " is not configured on this machine");
                }
                if (limits[axis].slaveOf != 0) {
                    throw LineError(lineNo, std::string("axis ") + kAxisLetters[axis] +
                                                " follows axis " +
                                                kAxisLetters[limits[axis].slaveOf - 1] +
                                                " and cannot be given");
                }
                csv.column[axis] = static_cast<int>(c);
            }
            if (header) continue;
        }

        if (fields.size() != columns) {
            throw LineError(lineNo, "expected " + std::to_string(columns) + " values, found " +
                                        std::to_string(fields.size()));
        }
        Vec6 row{};
        for (int a = 0; a < kAxisCount; ++a) {
            if (csv.column[a] < 0) continue;
            const std::string& f = fields[static_cast<size_t>(csv.column[a])];
            double v = 0.0;
            const char* b = f.data();
            if (!f.empty() && f[0] == '+') ++b;
            auto [end, ec] = std::from_chars(b, f.data() + f.size(), v);
            if (f.empty() || ec != std::errc() || end != f.data() + f.size() || !std::isfinite(v)) {
                throw LineError(lineNo, "'" + f + "' is not a number");
            }
            if (std::fabs(v) > 2.0e9)
                throw LineError(lineNo, "'" + f + "' is outside the controller's step range");
            row[a] = v;
        }
        if (!csv.rows.empty())
            checkStep(csv.rows.back(), row, csv.column, limits, lineNo, "from the row before");
        csv.rows.push_back(row);
        csv.lines.push_back(lineNo);
    }
    if (csv.rows.empty()) throw LineError(lineNo == 0 ? 1 : lineNo, "no targets in the file");
    return csv;
}

Trajectory csvTrajectory(const CsvTargets& csv, const Vec6& startSteps,
                         const MotionLimits& limits) {
    Trajectory t;
    t.start = startSteps;
    t.targets.reserve(csv.rows.size());
    for (const Vec6& row : csv.rows) {
        Vec6 target = startSteps;
        for (int a = 0; a < kAxisCount; ++a) {
            if (csv.column[a] >= 0) target[a] = row[a];
        }
        applySlaves(target, startSteps, limits);
        t.targets.push_back(target);
    }
    checkStep(startSteps, t.targets.front(), csv.column, limits, csv.lines.front(),
              "from the controller's position");
    return t;
}

}  // namespace telvo::tool
