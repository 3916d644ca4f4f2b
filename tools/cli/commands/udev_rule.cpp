// telvo udev-rule VID:PID: prints the udev rule that gives the user at the
// seat access to the controller with those USB IDs (TAG+="uaccess"), the
// filled-in form of the template share/telvo/udev/70-telvo.rules.
#include <fmt/format.h>

#include <cctype>
#include <string>

#include "cli/commands/command.h"

namespace telvo::tool {
namespace {

// One to four hexadecimal digits, written back as four lower-case ones (the
// form of the sysfs attributes that the rule compares).
std::string hexId(const std::string& text, const std::string& whole) {
    if (text.empty() || text.size() > 4)
        throw ToolError(fmt::format("'{}' is not VID:PID (e.g. 1209:7e10)", whole));
    unsigned value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            throw ToolError(
                fmt::format("'{}' is not VID:PID in hexadecimal (e.g. 1209:7e10)", whole));
        }
        value = value * 16 +
                static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                          ? c - '0'
                                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return fmt::format("{:04x}", value);
}

void options(CLI::App& sub, Arguments& args) {
    sub.add_option("ids", args.file,
                   "The controller's USB IDs, VID:PID in hexadecimal as lsusb shows them")
        ->required();
}

int run(const CommonOptions&, const Arguments& args) {
    const std::string& ids = args.file;
    const size_t colon = ids.find(':');
    if (colon == std::string::npos)
        throw ToolError(fmt::format("'{}' is not VID:PID (e.g. 1209:7e10)", ids));
    const std::string vendor = hexId(ids.substr(0, colon), ids);
    const std::string product = hexId(ids.substr(colon + 1), ids);
    fmt::print(
        "# telvo motion controller {vendor}:{product}: access for the user at the seat.\n"
        "# Install: telvo udev-rule {vendor}:{product} | sudo tee "
        "/etc/udev/rules.d/70-telvo.rules\n"
        "#          sudo udevadm control --reload && sudo udevadm trigger   (then replug the "
        "controller)\n"
        "SUBSYSTEM==\"usb\", ENV{{DEVTYPE}}==\"usb_device\", ATTR{{idVendor}}==\"{vendor}\", "
        "ATTR{{idProduct}}==\"{product}\", TAG+=\"uaccess\"\n",
        fmt::arg("vendor", vendor), fmt::arg("product", product));
    return 0;
}

}  // namespace

const Command kUdevRuleCommand = {
    "udev-rule",
    "Print the udev rule that gives access to a controller with USB IDs VID:PID",
    {},
    options,
    run};

}  // namespace telvo::tool
