// telvo decode FILE: print a trace file decoded.
#include <fmt/format.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/commands/command.h"
#include "cli/commands/summary.h"

#include "files/decode.h"
#include "files/trace.h"

namespace telvo::tool {
namespace {

int run(const CommonOptions&, const Arguments& args) {
    const std::string& file = args.file;
    const bool brief = args.brief;
    tool::TraceFile trace = tool::readTraceFile(file);
    std::string text = tool::decodeTrace(trace, brief);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        throw ToolError("could not write the decoded trace");
    return 0;
}

void options(CLI::App& sub, Arguments& a) {
    sub.add_option("FILE", a.file, "Trace written with --trace")
        ->required()
        ->check(CLI::ExistingFile);
    sub.add_flag("--brief", a.brief, "One line per motion block instead of one per segment");
}

}  // namespace

const Command kDecodeCommand = {"decode", "Print a trace file decoded", {}, options, run};

}  // namespace telvo::tool
