// telvo: the host tool. Drives a motion controller through the telvo library
// the way a machine-control host does: configure a machine, home it, run a
// part program, probe, watch the status, and show what happened.
//
// The command line is built from the table of commands (commands/); each
// command adds its own options and the common ones it takes.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli/backend.h"
#include "cli/commands/command.h"
#include "engine/session.h"

namespace tool = telvo::tool;

namespace {

volatile std::sig_atomic_t gSignals = 0;

extern "C" void onSignal(int) {
    // The first stops the run with deceleration, the second aborts it (at
    // once, spindle off); a third ends the process at once.
    if (gSignals >= 2) std::_Exit(tool::kExitInterrupted);
    gSignals = gSignals + 1;
    tool::requestStop();
}

// One command's place on the command line and the values parsed for it.
struct Invocation {
    const tool::Command* command = nullptr;
    CLI::App* app = nullptr;
    tool::CommonOptions common;
    tool::Arguments args;
};

int runTool(int argc, char** argv) {
    CLI::App app{"telvo: drive a motion controller through the telvo library", "telvo"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "telvo tool 1.0");

    std::vector<Invocation> invocations(tool::commands().size());
    for (size_t i = 0; i < invocations.size(); ++i) {
        Invocation& in = invocations[i];
        in.command = tool::commands()[i];
        in.app = app.add_subcommand(in.command->name, in.command->help);
        if (in.command->options) in.command->options(*in.app, in.args);
        tool::addCommonOptions(*in.app, in.command->common, in.common);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        std::replace(message.begin(), message.end(), '\n', ' ');
        fmt::print(stderr, "telvo: error: {} (see telvo --help)\n", message);
        return tool::kExitUsage;
    }

    for (const Invocation& in : invocations) {
        if (!*in.app) continue;
        try {
            if (in.command->common.options & tool::kControllerOption)
                tool::useBackend(in.common.controller, argv);
            (void)std::signal(SIGINT, onSignal);
            (void)std::signal(SIGTERM, onSignal);
            return in.command->run(in.common, in.args);
        } catch (const tool::Interrupted&) {
            (void)std::fflush(stdout);
            fmt::print(stderr, "\ntelvo: interrupted; machine stopped and controller released\n");
            return tool::kExitInterrupted;
        } catch (const std::exception& e) {
            (void)std::fflush(stdout);
            fmt::print(stderr, "telvo: error: {}\n", e.what());
            return tool::kExitError;
        }
    }
    return tool::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing escapes as a crash, not even a failure to set up the parser.
    try {
        return runTool(argc, argv);
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "telvo: error: %s\n", e.what());
    } catch (...) {
        (void)std::fprintf(stderr, "telvo: error: unexpected failure\n");
    }
    return tool::kExitError;
}
