// The table of the tool's commands.
#include "cli/commands/command.h"

namespace telvo::tool {

std::span<const Command* const> commands() {
    static const Command* const kTable[] = {
        &kInfoCommand,
        &kRunCommand,
        &kCheckCommand,
        &kProbeCommand,
        &kHomeCommand,
        &kJogCommand,
        &kStatusCommand,
        &kDemoCommand,
        &kDecodeCommand,
        &kMachineCommand,
        &kUdevRuleCommand,
#if defined(TELVO_WITH_SERVE)
        &kServeCommand,
#endif
    };
    return kTable;
}

}  // namespace telvo::tool
