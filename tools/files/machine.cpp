// Machine file loader: TOML through toml++, every key checked.
#include "files/machine.h"

#include <toml++/toml.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "files/builtin.h"

namespace telvo::tool {
namespace {

// Velocities travel to the controller shifted left by 12 bits in 32 bits, so
// a value from 2^19 on would wrap; they are also what keeps one 1 ms segment
// well inside the wire format's per-segment travel.
constexpr int64_t kMaxVelocity = (int64_t{1} << 19) - 1;
constexpr int64_t kMaxStepsPerUnit = 10'000'000;
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int kPinEntries = 47;
constexpr int kIoValues = 16;

class MachineFileError : public ToolError {
public:
    using ToolError::ToolError;
};

uint32_t lineOf(const toml::node& node) {
    return node.source().begin.line;
}

// One table of the file: typed look-ups that remember which keys were read,
// and a final check that refuses every key nobody asked for.
class Section {
public:
    Section(const toml::table& table, std::string path, const std::string& source)
        : table_(table), path_(std::move(path)), source_(source) {}

    [[noreturn]] void fail(const toml::node& node, std::string_view key,
                           const std::string& problem) const {
        fail(lineOf(node), key, problem);
    }
    [[noreturn]] void fail(uint32_t line, std::string_view key, const std::string& problem) const {
        std::ostringstream s;
        s << source_ << ':' << line << ": " << name(key) << ": " << problem;
        throw MachineFileError(s.str());
    }
    std::string name(std::string_view key) const {
        return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
    }

    const toml::node* find(std::string_view key) {
        used_.insert(std::string(key));
        return table_.get(key);
    }

    int64_t integer(std::string_view key, int64_t min, int64_t max, int64_t fallback) {
        const toml::node* node = find(key);
        if (!node) return fallback;
        return checkInteger(*node, key, min, max);
    }
    int64_t checkInteger(const toml::node& node, std::string_view key, int64_t min,
                         int64_t max) const {
        auto v = node.value_exact<int64_t>();
        if (!v)
            fail(node, key,
                 "must be an integer from " + std::to_string(min) + " to " + std::to_string(max));
        if (*v < min || *v > max) {
            fail(node, key,
                 "must be from " + std::to_string(min) + " to " + std::to_string(max) + " (got " +
                     std::to_string(*v) + ")");
        }
        return *v;
    }
    double number(std::string_view key, double fallback) {
        const toml::node* node = find(key);
        if (!node) return fallback;
        if (auto d = node->value_exact<double>()) {
            if (!std::isfinite(*d)) fail(*node, key, "must be a finite number");
            return *d;
        }
        if (auto i = node->value_exact<int64_t>()) return static_cast<double>(*i);
        fail(*node, key, "must be a number");
    }
    bool boolean(std::string_view key, bool fallback) {
        const toml::node* node = find(key);
        if (!node) return fallback;
        auto b = node->value_exact<bool>();
        if (!b) fail(*node, key, "must be true or false");
        return *b;
    }
    std::string string(std::string_view key, const std::string& fallback) {
        const toml::node* node = find(key);
        if (!node) return fallback;
        auto s = node->value_exact<std::string>();
        if (!s) fail(*node, key, "must be a string");
        return *s;
    }
    const toml::table* table(std::string_view key) {
        const toml::node* node = find(key);
        if (!node) return nullptr;
        if (!node->is_table()) fail(*node, key, "must be a table");
        return node->as_table();
    }
    // Refuses keys that no look-up asked for (typos, unsupported settings).
    void rejectUnknown() const {
        for (auto&& [key, node] : table_) {
            (void)node;
            if (!used_.count(std::string(key.str())))
                fail(key.source().begin.line, key.str(), "unknown key");
        }
    }
    const std::string& source() const { return source_; }
    const std::string& path() const { return path_; }

private:
    const toml::table& table_;
    std::string path_;
    const std::string& source_;
    std::set<std::string> used_;
};

int axisByName(Section& section, const toml::node& node, std::string_view key) {
    auto s = node.value_exact<std::string>();
    if (!s || s->size() != 1 || axisIndex((*s)[0]) < 0)
        section.fail(node, key, "must be one of \"x\", \"y\", \"z\", \"a\", \"b\", \"c\"");
    return axisIndex((*s)[0]);
}

// Reads one [axis.N] table; returns the line of its slave_of key (0 if none).
uint32_t readAxis(Section& axisTable, int index, AxisSettings& axis, const toml::node& where) {
    axis.configured = true;
    auto required = [&](std::string_view key, int64_t min, int64_t max) {
        const toml::node* node = axisTable.find(key);
        if (!node) axisTable.fail(where, key, "missing (required for every configured axis)");
        return axisTable.checkInteger(*node, key, min, max);
    };
    axis.stepsPerUnit = static_cast<int32_t>(required("steps_per_unit", 1, kMaxStepsPerUnit));
    axis.maxVelocity = static_cast<int32_t>(required("max_velocity", 1, kMaxVelocity));
    axis.acceleration = static_cast<int32_t>(required("acceleration", 1, kInt32Max));
    axis.auxVelocity = static_cast<int32_t>(axisTable.integer("aux_velocity", 0, kMaxVelocity, 0));
    axis.deviceParam1 =
        static_cast<int32_t>(axisTable.integer("device_param1", kInt32Min, kInt32Max, 0));
    axis.deviceParam2 =
        static_cast<int32_t>(axisTable.integer("device_param2", kInt32Min, kInt32Max, 0));
    axis.deviceParam3 =
        static_cast<int32_t>(axisTable.integer("device_param3", kInt32Min, kInt32Max, 0));
    axis.deviceParam4 = static_cast<uint8_t>(axisTable.integer("device_param4", 0, 255, 0));
    if (axisTable.find("min")) axis.min = axisTable.number("min", 0.0);
    if (axisTable.find("max")) axis.max = axisTable.number("max", 0.0);
    if (axis.min && axis.max && *axis.min >= *axis.max)
        axisTable.fail(*axisTable.find("max"), "max", "must be above min");
    if (const toml::node* node = axisTable.find("slave_of")) {
        int master = axisByName(axisTable, *node, "slave_of");
        if (index < 3)
            axisTable.fail(*node, "slave_of", "only axes a, b and c can follow another axis");
        if (master == index) axisTable.fail(*node, "slave_of", "an axis cannot follow itself");
        axis.slaveOf = master + 1;
        axisTable.rejectUnknown();
        return lineOf(*node);
    }
    axisTable.rejectUnknown();
    return 0;
}

// A position as an array of up to six numbers in axis order X Y Z A B C.
Vec6 position(Section& s, std::string_view key, const Machine& m) {
    const toml::node* node = s.find(key);
    if (!node) return Vec6{};
    const toml::array* list = node->as_array();
    if (!list || list->empty() || list->size() > kAxisCount)
        s.fail(*node, key, "must be an array of 1 to 6 numbers (X, Y, Z, A, B, C)");
    Vec6 out{};
    for (size_t i = 0; i < list->size(); ++i) {
        const toml::node& v = (*list)[i];
        if (auto d = v.value_exact<double>())
            out[i] = *d;
        else if (auto n = v.value_exact<int64_t>())
            out[i] = static_cast<double>(*n);
        else
            s.fail(v, key, "entry " + std::to_string(i + 1) + " must be a number");
        if (!std::isfinite(out[i]) || std::fabs(out[i]) > 1e9)
            s.fail(v, key, "entry " + std::to_string(i + 1) + " is out of range");
        if (out[i] != 0.0 && !m.axes[i].configured)
            s.fail(v, key, std::string("axis ") + kAxisLetters[i] + " is not configured");
    }
    return out;
}

double positive(Section& s, std::string_view key, double fallback, double max) {
    double v = s.number(key, fallback);
    if (!(v >= 0.0) || v > max)
        s.fail(*s.find(key), key,
               "must be from 0 to " + std::to_string(static_cast<long long>(max)));
    return v;
}

void readProgramSections(Section& top, Machine& m, const std::string& source) {
    if (const toml::table* t = top.table("motion")) {
        Section s(*t, "motion", source);
        m.program.blendTolerance = positive(s, "blend_tolerance", 0.0, 1000.0);
        m.program.arcTolerance = positive(s, "arc_tolerance", 0.0, 1000.0);
        if (s.find("arc_tolerance") && m.program.arcTolerance <= 0.0)
            s.fail(*s.find("arc_tolerance"), "arc_tolerance", "must be above 0");
        m.program.streamDepthMs = s.number("stream_depth", 250.0);
        if (!(m.program.streamDepthMs >= 20.0) || m.program.streamDepthMs > 4000.0)
            s.fail(*s.find("stream_depth"), "stream_depth", "must be from 20 to 4000 (ms)");
        if (s.find("safe_z")) m.program.safeZ = s.number("safe_z", 0.0);
        m.program.approachFeed = positive(s, "approach_feed", 0.0, 1e6) / 60.0;
        s.rejectUnknown();
    }
    if (const toml::table* t = top.table("touch_off")) {
        Section s(*t, "touch_off", source);
        if (const toml::node* n = s.find("axis")) m.touchOff.axis = axisByName(s, *n, "axis");
        m.touchOff.direction = static_cast<int>(s.integer("direction", -1, 1, -1));
        if (m.touchOff.direction == 0) s.fail(*s.find("direction"), "direction", "must be -1 or 1");
        m.touchOff.distance = positive(s, "distance", 0.0, 1e6);
        m.touchOff.feed = positive(s, "feed", 0.0, 1e6) / 60.0;
        m.touchOff.plate = positive(s, "plate", 0.0, 1e6);
        m.touchOff.retract = positive(s, "retract", 0.0, 1e6);
        s.rejectUnknown();
    }
    if (const toml::table* t = top.table("offsets")) {
        Section s(*t, "offsets", source);
        const char* const keys[9] = {"g54", "g55",   "g56",   "g57",  "g58",
                                     "g59", "g59_1", "g59_2", "g59_3"};
        for (size_t k = 0; k < 9; ++k) {
            if (s.find(keys[k])) m.program.workOffsets[k] = position(s, keys[k], m);
        }
        if (s.find("g28")) m.program.g28 = position(s, "g28", m);
        if (s.find("g30")) m.program.g30 = position(s, "g30", m);
        if (s.find("tool_change")) m.program.toolChange = position(s, "tool_change", m);
        m.program.toolChangeQuillUp = s.boolean("tool_change_quill_up", false);
        if (m.program.toolChangeQuillUp && !m.program.toolChange)
            s.fail(*s.find("tool_change_quill_up"), "tool_change_quill_up",
                   "needs tool_change (the position M6 goes to)");
        s.rejectUnknown();
    }
    if (const toml::node* node = top.find("tool")) {
        const toml::array* tools = node->as_array();
        if (!tools || !tools->is_array_of_tables())
            top.fail(*node, "tool", "must be written as [[tool]] tables");
        for (const toml::node& entry : *tools) {
            Section s(*entry.as_table(), "tool", source);
            const toml::node* number = s.find("number");
            if (!number) s.fail(entry, "number", "missing (the T and H number)");
            int n = static_cast<int>(s.checkInteger(*number, "number", 1, 999999));
            if (m.program.tools.count(n))
                s.fail(*number, "number", "tool " + std::to_string(n) + " is given twice");
            ToolEntry tool;
            tool.length = s.number("length", 0.0);
            if (std::fabs(tool.length) > 1e6)
                s.fail(*s.find("length"), "length", "is out of range");
            if (s.find("diameter")) tool.diameter = positive(s, "diameter", 0.0, 1e6);
            m.program.tools[n] = tool;
            s.rejectUnknown();
        }
    }
    if (const toml::table* t = top.table("spindle")) {
        Section s(*t, "spindle", source);
        SpindleSettings& sp = m.spindle;
        sp.configured = true;
        sp.cwMode = static_cast<int>(s.integer("cw_mode", 0, 255, 1));
        sp.ccwMode = static_cast<int>(s.integer("ccw_mode", 0, 255, 2));
        sp.offMode = static_cast<int>(s.integer("off_mode", 0, 255, 0));
        sp.maxRpm = positive(s, "max_rpm", 24000.0, 1e6);
        if (!(sp.maxRpm > 0.0)) s.fail(*s.find("max_rpm"), "max_rpm", "must be above 0");
        sp.valueAtMax = static_cast<int>(s.integer("value_at_max", 0, 65535, 65535));
        sp.stepsPerRev = positive(s, "steps_per_rev", 0.0, 1e6);
        sp.spinUpSeconds = positive(s, "spin_up", 0.0, 600.0);
        s.rejectUnknown();
    }
    if (const toml::table* t = top.table("coolant")) {
        Section s(*t, "coolant", source);
        m.coolant.configured = true;
        m.coolant.mistBit = static_cast<int>(s.integer("mist_bit", -1, 15, -1));
        m.coolant.floodBit = static_cast<int>(s.integer("flood_bit", -1, 15, -1));
        s.rejectUnknown();
    }
}

void buildRecords(Machine& m) {
    for (int i = 0; i < kAxisCount; ++i) {
        const AxisSettings& a = m.axes[i];
        AxisConfig& c = m.config.axes[i];
        c.stepsPerUnit = a.stepsPerUnit;
        c.maxVelocity = a.maxVelocity;
        c.acceleration = a.acceleration;
        c.slaveOf = static_cast<uint8_t>(a.slaveOf);
        c.deviceParam1 = a.deviceParam1;
        c.deviceParam2 = a.deviceParam2;
        c.auxVelocity = a.auxVelocity;
        c.deviceParam3 = a.deviceParam3;
        c.deviceParam4 = a.deviceParam4;
    }
}

}  // namespace

MotionLimits Machine::limits() const {
    MotionLimits out{};
    for (int i = 0; i < kAxisCount; ++i) {
        const AxisSettings& a = axes[i];
        out[i].enabled = a.configured;
        out[i].stepsPerUnit = a.configured ? a.stepsPerUnit : 1.0;
        out[i].maxVelocity = a.maxVelocity;
        out[i].acceleration = a.acceleration;
        out[i].slaveOf = a.slaveOf;
    }
    return out;
}

std::string Machine::axisList() const {
    std::string s;
    for (int i = 0; i < kAxisCount; ++i) {
        if (axes[i].configured) s.push_back(kAxisLetters[i]);
    }
    return s;
}

GcodeSetup Machine::gcodeSetup() const {
    GcodeSetup g;
    g.mmPerUnit = mmPerUnit();
    for (int a = 0; a < kAxisCount; ++a) {
        g.configured[a] = axes[a].configured;
        g.slaveOf[a] = axes[a].slaveOf;
    }
    g.workOffsets = program.workOffsets;
    g.g28 = program.g28;
    g.g30 = program.g30;
    g.toolChange = program.toolChange;
    g.toolChangeQuillUp = program.toolChangeQuillUp;
    g.tools = program.tools;
    g.blendTolerance = program.blendTolerance > 0.0 ? program.blendTolerance : 0.01 / mmPerUnit();
    g.spindleConfigured = spindle.configured;
    g.coolantConfigured = coolant.configured;
    g.spinUpSeconds = spindle.spinUpSeconds;
    if (spindle.configured) g.maxRpm = spindle.maxRpm;
    return g;
}

PlanSettings Machine::planSettings() const {
    PlanSettings p;
    p.limits = limits();
    p.chordTolerance = program.arcTolerance > 0.0 ? program.arcTolerance : 0.001 / mmPerUnit();
    for (int a = 0; a < kAxisCount; ++a) {
        p.hasMin[a] = axes[a].min.has_value();
        p.hasMax[a] = axes[a].max.has_value();
        p.min[a] = axes[a].min.value_or(0.0);
        p.max[a] = axes[a].max.value_or(0.0);
    }
    return p;
}

Machine loadMachine(std::string_view text, const std::string& source) {
    toml::table root;
    try {
        root = toml::parse(text, source);
    } catch (const toml::parse_error& e) {
        std::ostringstream s;
        s << source << ':' << e.source().begin.line << ": " << e.description();
        throw MachineFileError(s.str());
    }

    Machine m;
    Section top(root, "", source);

    if (const toml::table* t = top.table("machine")) {
        Section s(*t, "machine", source);
        m.name = s.string("name", "");
        if (const toml::node* node = s.find("units")) {
            m.units = s.string("units", "mm");
            if (m.units != "mm" && m.units != "inch")
                s.fail(*node, "units", "must be \"mm\" or \"inch\"");
        }
        s.rejectUnknown();
    }

    if (const toml::table* t = top.table("controller")) {
        Section s(*t, "controller", source);
        m.bufferSize = static_cast<int>(s.integer("buffer_size", 300, 1000, 1000));
        m.config.machineParam1 = static_cast<uint8_t>(s.integer("machine_param1", 0, 255, 0));
        m.config.machineParam2 =
            static_cast<int32_t>(s.integer("machine_param2", kInt32Min, kInt32Max, 0));
        m.config.machineParam3 =
            static_cast<int32_t>(s.integer("machine_param3", kInt32Min, kInt32Max, 0));
        m.config.machineParam4 =
            static_cast<int32_t>(s.integer("machine_param4", kInt32Min, kInt32Max, 0));
        m.config.machineParam5 = static_cast<uint8_t>(s.integer("machine_param5", 0, 255, 0));
        m.config.machineParam6 = static_cast<uint8_t>(s.integer("machine_param6", 0, 255, 0));
        m.config.machineSwitch1 = static_cast<uint8_t>(s.integer("machine_switch1", 0, 1, 0));
        m.config.machineSwitch2 = static_cast<uint8_t>(s.integer("machine_switch2", 0, 1, 0));
        s.rejectUnknown();
    }

    const toml::node* axisNode = top.find("axis");
    if (!axisNode)
        top.fail(1, "axis", "missing: configure at least one axis as [axis.x] ... [axis.c]");
    if (!axisNode->is_table())
        top.fail(*axisNode, "axis", "must be a table of axes ([axis.x] ... [axis.c])");
    {
        Section s(*axisNode->as_table(), "axis", source);
        std::array<uint32_t, kAxisCount> slaveLine{};
        for (int i = 0; i < kAxisCount; ++i) {
            std::string key(1, static_cast<char>(kAxisLetters[i] - 'A' + 'a'));
            if (const toml::table* t = s.table(key)) {
                Section axisTable(*t, "axis." + key, source);
                slaveLine[i] = readAxis(axisTable, i, m.axes[i], *s.find(key));
            }
        }
        s.rejectUnknown();
        // Masters must be configured axes that move on their own.
        for (int i = 3; i < kAxisCount; ++i) {
            int master = m.axes[i].slaveOf;
            if (master == 0) continue;
            std::string key =
                std::string(1, static_cast<char>(kAxisLetters[i] - 'A' + 'a')) + ".slave_of";
            if (!m.axes[master - 1].configured)
                s.fail(slaveLine[i], key, "follows an axis that is not configured");
            if (m.axes[master - 1].slaveOf != 0)
                s.fail(slaveLine[i], key, "follows an axis that itself follows another");
        }
        if (m.axisList().empty()) top.fail(*axisNode, "axis", "no axis configured");
    }

    if (const toml::table* t = top.table("io")) {
        Section s(*t, "io", source);
        if (const toml::node* node = s.find("values")) {
            const toml::array* values = node->as_array();
            if (!values || values->size() > kIoValues)
                s.fail(*node, "values", "must be an array of at most 16 integers");
            for (size_t k = 0; k < values->size(); ++k) {
                m.io.ioValues[k] =
                    static_cast<uint16_t>(s.checkInteger((*values)[k], "values", 0, 65535));
            }
        }
        if (const toml::node* node = s.find("pin")) {
            const toml::array* pins = node->as_array();
            if (!pins || !pins->is_array_of_tables())
                s.fail(*node, "pin", "must be written as [[io.pin]] tables");
            std::set<int64_t> seen;
            for (const toml::node& entryNode : *pins) {
                Section p(*entryNode.as_table(), "io.pin", source);
                const toml::node* entry = p.find("entry");
                if (!entry) p.fail(entryNode, "entry", "missing (0 to 46)");
                int64_t e = p.checkInteger(*entry, "entry", 0, kPinEntries - 1);
                if (!seen.insert(e).second)
                    p.fail(*entry, "entry", "entry " + std::to_string(e) + " is given twice");
                m.io.pins[e].pin = static_cast<uint8_t>(p.integer("pin", 0, 255, 0));
                m.io.pins[e].pinFlags = static_cast<uint8_t>(p.integer("flags", 0, 3, 0));
                p.rejectUnknown();
            }
        }
        s.rejectUnknown();
    }

    readProgramSections(top, m, source);

    if (const toml::table* t = top.table("simulator")) {
        Section s(*t, "simulator", source);
        m.simulator.homingTimeMs = static_cast<int>(s.integer("homing_time_ms", 0, 600000, -1));
        m.simulator.probeDecelMs = static_cast<int>(s.integer("probe_decel_ms", 0, 10000, -1));
        if (const toml::table* st = s.table("probe_surface")) {
            Section p(*st, "simulator.probe_surface", source);
            ProbeSurface& surface = m.simulator.surface;
            surface.enabled = true;
            const toml::node* axis = p.find("axis");
            if (!axis) p.fail(*s.find("probe_surface"), "axis", "missing");
            surface.axis = axisByName(p, *axis, "axis");
            if (!m.axes[surface.axis].configured) p.fail(*axis, "axis", "is not a configured axis");
            const toml::node* at = p.find("at");
            if (!at) p.fail(*s.find("probe_surface"), "at", "missing (position in machine units)");
            surface.at = p.number("at", 0.0);
            surface.direction = static_cast<int>(p.integer("direction", -1, 1, -1));
            if (surface.direction == 0)
                p.fail(*p.find("direction"), "direction", "must be 1 or -1");
            p.rejectUnknown();
        }
        s.rejectUnknown();
    }

    top.rejectUnknown();
    buildRecords(m);
    return m;
}

Machine loadMachineFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError("cannot read machine file " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return loadMachine(text.str(), path);
}

Machine defaultMachine() {
    return loadMachine(kDefaultMachineToml, "<built-in machine>");
}

}  // namespace telvo::tool
