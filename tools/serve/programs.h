// Part programs as the station sees them: where they may come from, their
// text by ranges of lines, and their preview.
//
// Programs come from two folders only: the uploads folder the station owns
// and the one folder given at start (--programs). A program is named by
// "uploads/NAME" or "programs/NAME"; a name is a plain file name, and a
// file whose real path leaves its folder (a symbolic link) is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/common.h"

namespace telvo::station {

struct ProgramEntry {
    std::string id;  // "uploads/part.ngc"
    uint64_t bytes = 0;
};

class ProgramStore {
public:
    ProgramStore(std::string uploadsDir, std::string folder);
    // "" when `name` may name a program file, otherwise why not.
    static std::string checkName(const std::string& name);
    // The file `id` names: "" and `path` set, or why it is refused.
    std::string resolve(const std::string& id, std::string& path) const;
    // Writes an upload (replacing one of the same name); sets `id`.
    std::string store(const std::string& name, const std::string& text, std::string& id) const;
    std::vector<ProgramEntry> list() const;
    const std::string& uploadsDir() const { return uploads_; }
    const std::string& folder() const { return folder_; }

private:
    std::string uploads_, folder_;
};

// Where each line of a file starts, so that any range of lines is read
// without reading the file whole.
class LineIndex {
public:
    // Reads the file once; false when it cannot be read.
    bool build(const std::string& path);
    size_t lines() const { return starts_.size(); }
    // Lines from `first` (1-based), at most `count`, without line ends.
    std::vector<std::string> read(size_t first, size_t count) const;
    void clear();

private:
    std::string path_;
    std::vector<uint64_t> starts_;
    uint64_t size_ = 0;
};

// Thins a programmed path to what a screen can show: a point is kept when
// it lies at least `tolerance` from the last one kept, or where rapid and
// cutting moves change; past `maxPoints` the tolerance doubles and what was
// kept is thinned again. No point of the path is then farther than about
// twice the final tolerance from the thinned line.
class PreviewPath {
public:
    explicit PreviewPath(size_t maxPoints = 250000, double tolerance = 1e-4);
    // The end of a move (machine units) and whether the move there is a rapid.
    void add(const tool::Vec6& point, bool rapid);
    void finish();
    size_t size() const { return kinds_.size(); }
    double tolerance() const { return tolerance_; }
    uint64_t added() const { return added_; }
    // The wire form (little-endian): "TVP1", u32 count, f32 tolerance,
    // f32 min x y z, f32 max x y z, f32 x y z per point, u8 kind per point
    // (1: reached by a rapid, 0: by a cut).
    std::string encode() const;
    void clear();

private:
    void keep(const tool::Vec6& p, bool rapid);
    void rethin();

    size_t max_;
    double initialTolerance_, tolerance_;
    std::vector<float> xyz_;
    std::vector<uint8_t> kinds_;
    tool::Vec6 pending_{};
    bool hasPending_ = false, pendingRapid_ = false;
    uint64_t added_ = 0;
    float min_[3] = {0, 0, 0}, max3_[3] = {0, 0, 0};
};

}  // namespace telvo::station
