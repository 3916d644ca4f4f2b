// The targets file of `telvo run --targets`; see targetdump.h.
#include "files/targetdump.h"

#include <fmt/format.h>

#include <algorithm>

namespace telvo::tool {

constexpr int kTargetDumpVersion = 1;

TargetDump::TargetDump(const std::string& path, const Machine& machine)
    : path_(path), machine_(machine) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) throw ToolError("cannot write " + path);
}

TargetDump::~TargetDump() {
    if (file_) (void)std::fclose(file_);
}

void TargetDump::begin(const Vec6& startSteps) {
    std::string spu, start, columns = "line";
    for (int a = 0; a < kAxisCount; ++a) {
        const AxisSettings& axis = machine_.axes[static_cast<size_t>(a)];
        if (!axis.configured) continue;
        char name = static_cast<char>(kAxisLetters[a] - 'A' + 'a');
        spu += fmt::format(" {}={}", name, axis.stepsPerUnit);
        start += fmt::format(" {}={}", name, startSteps[a]);
        columns += fmt::format(" {}", name);
    }
    std::string text =
        fmt::format("# telvo-targets {}\n# units {}\n# steps_per_unit{}\n# start{}\n{}\n",
                    kTargetDumpVersion, machine_.units, spu, start, columns);
    failed_ = failed_ || std::fputs(text.c_str(), file_) < 0;
}

void TargetDump::row(const Sample& s) {
    std::string row = fmt::format("{}", s.line);
    for (int a = 0; a < kAxisCount; ++a) {
        if (!machine_.axes[static_cast<size_t>(a)].configured) continue;
        row += fmt::format(" {}", s.steps[a]);
    }
    row += '\n';
    failed_ = failed_ || std::fputs(row.c_str(), file_) < 0;
}

void TargetDump::rows(const Plan& plan, const std::vector<Vec6>& targets, size_t first) {
    std::string row;
    for (size_t k = 0; k < targets.size(); ++k) {
        // The piece whose stretch holds this target (before the first piece:
        // the first piece, which a dwell at the very start precedes).
        auto after = std::upper_bound(plan.pieceStart.begin(), plan.pieceStart.end(), first + k);
        size_t piece = after == plan.pieceStart.begin()
                           ? 0
                           : static_cast<size_t>(after - plan.pieceStart.begin()) - 1;
        int line = piece < plan.pieces.size() ? plan.pieces[piece].line : 0;
        row = fmt::format("{}", line);
        for (int a = 0; a < kAxisCount; ++a) {
            if (machine_.axes[static_cast<size_t>(a)].configured)
                row += fmt::format(" {}", targets[k][a]);
        }
        row += '\n';
        failed_ = failed_ || std::fputs(row.c_str(), file_) < 0;
    }
}

void TargetDump::close() {
    if (!file_) return;
    bool bad = failed_ || std::fflush(file_) != 0 || std::ferror(file_);
    bad = std::fclose(file_) != 0 || bad;
    file_ = nullptr;
    if (bad) throw ToolError("could not write " + path_);
}

}  // namespace telvo::tool
