#include "serve/programs.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace telvo::station {

namespace fs = std::filesystem;

namespace {
constexpr const char* kUploads = "uploads";
constexpr const char* kFolder = "programs";
constexpr size_t kMaxLinesPerRead = 2000;
constexpr size_t kMaxLineShown = 2000;  // characters of one line sent to the page
}  // namespace

ProgramStore::ProgramStore(std::string uploadsDir, std::string folder)
    : uploads_(std::move(uploadsDir)), folder_(std::move(folder)) {}

std::string ProgramStore::checkName(const std::string& name) {
    if (name.empty()) return "no program name";
    if (name.size() > 128) return "the program name is longer than 128 characters";
    if (name[0] == '.') return "a program name may not start with '.'";
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-' || c == ' ' || c == '+';
        if (!ok) return "a program name holds only letters, digits, '.', '_', '-', '+' and spaces";
    }
    return "";
}

std::string ProgramStore::resolve(const std::string& id, std::string& path) const {
    size_t slash = id.find('/');
    std::string where = id.substr(0, slash);
    std::string name = slash == std::string::npos ? "" : id.substr(slash + 1);
    const std::string* dir = nullptr;
    if (where == kUploads) dir = &uploads_;
    if (where == kFolder && !folder_.empty()) dir = &folder_;
    if (!dir) return "programs come only from uploads/ or programs/ (the folder given at start)";
    std::string bad = checkName(name);
    if (!bad.empty()) return bad;
    std::error_code ec;
    fs::path root = fs::canonical(*dir, ec);
    if (ec) return "the folder of " + where + " cannot be read";
    fs::path file = fs::canonical(root / name, ec);
    if (ec || !fs::is_regular_file(file, ec)) return "no program " + id;
    if (file.parent_path() != root) return "the program " + id + " lies outside its folder";
    path = file.string();
    return "";
}

std::string ProgramStore::store(const std::string& name, const std::string& text,
                                std::string& id) const {
    std::string bad = checkName(name);
    if (!bad.empty()) return bad;
    fs::path target = fs::path(uploads_) / name;
    fs::path partial = fs::path(uploads_) / (".partial-" + name);
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!out) return "the upload could not be written";
    }
    std::error_code ec;
    fs::rename(partial, target, ec);
    if (ec) return "the upload could not be written: " + ec.message();
    id = std::string(kUploads) + "/" + name;
    return "";
}

std::vector<ProgramEntry> ProgramStore::list() const {
    std::vector<ProgramEntry> out;
    auto scan = [&](const std::string& dir, const char* where) {
        if (dir.empty()) return;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (!checkName(name).empty() || !it->is_regular_file(ec)) continue;
            out.push_back({std::string(where) + "/" + name, it->file_size(ec)});
        }
    };
    scan(uploads_, kUploads);
    scan(folder_, kFolder);
    std::sort(out.begin(), out.end(),
              [](const ProgramEntry& a, const ProgramEntry& b) { return a.id < b.id; });
    return out;
}

bool LineIndex::build(const std::string& path) {
    clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<char> chunk(1 << 20);
    uint64_t offset = 0;
    bool atLineStart = true;
    for (;;) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        std::streamsize got = in.gcount();
        if (got <= 0) break;
        for (std::streamsize i = 0; i < got; ++i) {
            if (atLineStart) starts_.push_back(offset + static_cast<uint64_t>(i));
            atLineStart = chunk[static_cast<size_t>(i)] == '\n';
        }
        offset += static_cast<uint64_t>(got);
    }
    path_ = path;
    size_ = offset;
    return true;
}

std::vector<std::string> LineIndex::read(size_t first, size_t count) const {
    std::vector<std::string> out;
    if (first < 1 || first > starts_.size()) return out;
    count = std::min({count, kMaxLinesPerRead, starts_.size() - first + 1});
    uint64_t from = starts_[first - 1];
    uint64_t to = first - 1 + count < starts_.size() ? starts_[first - 1 + count] : size_;
    std::ifstream in(path_, std::ios::binary);
    if (!in) return out;
    std::string bytes(static_cast<size_t>(to - from), '\0');
    in.seekg(static_cast<std::streamoff>(from));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
    size_t pos = 0;
    while (out.size() < count && pos <= bytes.size()) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kMaxLineShown) line.resize(kMaxLineShown);
        out.push_back(std::move(line));
        pos = end + 1;
    }
    return out;
}

void LineIndex::clear() {
    path_.clear();
    starts_.clear();
    starts_.shrink_to_fit();
    size_ = 0;
}

PreviewPath::PreviewPath(size_t maxPoints, double tolerance)
    : max_(std::max<size_t>(maxPoints, 16)), initialTolerance_(tolerance), tolerance_(tolerance) {}

void PreviewPath::add(const tool::Vec6& point, bool rapid) {
    ++added_;
    if (kinds_.empty()) {
        keep(point, true);
        return;
    }
    if (hasPending_ && rapid != pendingRapid_) {
        keep(pending_, pendingRapid_);
        hasPending_ = false;
    }
    size_t n = kinds_.size() - 1;
    double dx = point[0] - xyz_[3 * n], dy = point[1] - xyz_[3 * n + 1],
           dz = point[2] - xyz_[3 * n + 2];
    if (std::sqrt(dx * dx + dy * dy + dz * dz) >= tolerance_) {
        keep(point, rapid);
        hasPending_ = false;
    } else {
        pending_ = point;
        pendingRapid_ = rapid;
        hasPending_ = true;
    }
}

void PreviewPath::finish() {
    if (hasPending_) keep(pending_, pendingRapid_);
    hasPending_ = false;
}

void PreviewPath::keep(const tool::Vec6& p, bool rapid) {
    for (int a = 0; a < 3; ++a) {
        float v = static_cast<float>(p[a]);
        if (kinds_.empty()) {
            min_[a] = max3_[a] = v;
        } else {
            min_[a] = std::min(min_[a], v);
            max3_[a] = std::max(max3_[a], v);
        }
        xyz_.push_back(v);
    }
    kinds_.push_back(rapid ? 1 : 0);
    if (kinds_.size() > max_) rethin();
}

void PreviewPath::rethin() {
    while (kinds_.size() > max_ / 2) {
        tolerance_ *= 2.0;
        std::vector<float> xyz;
        std::vector<uint8_t> kinds;
        xyz.reserve(xyz_.size());
        kinds.reserve(kinds_.size());
        auto push = [&](size_t i) {
            xyz.insert(xyz.end(), xyz_.begin() + static_cast<std::ptrdiff_t>(3 * i),
                       xyz_.begin() + static_cast<std::ptrdiff_t>(3 * i + 3));
            kinds.push_back(kinds_[i]);
        };
        push(0);
        size_t pending = 0;
        bool hasPending = false;
        for (size_t i = 1; i < kinds_.size(); ++i) {
            // Where rapids and cuts change, the point before stays.
            if (hasPending && kinds_[i] != kinds_[pending]) push(pending);
            size_t last = kinds.size() - 1;
            double dx = xyz_[3 * i] - xyz[3 * last], dy = xyz_[3 * i + 1] - xyz[3 * last + 1],
                   dz = xyz_[3 * i + 2] - xyz[3 * last + 2];
            if (std::sqrt(dx * dx + dy * dy + dz * dz) >= tolerance_ || i + 1 == kinds_.size()) {
                push(i);
                hasPending = false;
            } else {
                pending = i;
                hasPending = true;
            }
        }
        xyz_.swap(xyz);
        kinds_.swap(kinds);
    }
}

std::string PreviewPath::encode() const {
    const uint32_t count = static_cast<uint32_t>(kinds_.size());
    std::string out(36 + 12 * static_cast<size_t>(count) + count, '\0');
    char* p = out.data();
    static constexpr char kMagic[4] = {'T', 'V', 'P', '1'};
    std::memcpy(p, kMagic, sizeof kMagic);
    // Little-endian hosts only (x86 on Linux and Windows): the values are
    // copied as they are in memory.
    std::memcpy(p + 4, &count, 4);
    float tol = static_cast<float>(tolerance_);
    std::memcpy(p + 8, &tol, 4);
    std::memcpy(p + 12, min_, 12);
    std::memcpy(p + 24, max3_, 12);
    if (count) {
        std::memcpy(p + 36, xyz_.data(), 12 * static_cast<size_t>(count));
        std::memcpy(p + 36 + 12 * static_cast<size_t>(count), kinds_.data(), count);
    }
    return out;
}

void PreviewPath::clear() {
    xyz_.clear();
    kinds_.clear();
    xyz_.shrink_to_fit();
    kinds_.shrink_to_fit();
    hasPending_ = false;
    added_ = 0;
    tolerance_ = initialTolerance_;
}

}  // namespace telvo::station
