// Terminal keys; see terminal.h.
#include "cli/commands/terminal.h"

#if defined(_WIN32)
#include <conio.h>
#include <io.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace telvo::tool {

#if defined(_WIN32)
struct TerminalKeys::Saved {};

TerminalKeys::TerminalKeys() : active_(_isatty(0) != 0) {}
TerminalKeys::~TerminalKeys() = default;

int TerminalKeys::poll() {
    if (!active_ || !_kbhit()) return -1;
    return _getch();
}
#else
struct TerminalKeys::Saved {
    termios mode{};
};

TerminalKeys::TerminalKeys() {
    if (!isatty(STDIN_FILENO)) return;
    saved_ = new Saved;
    if (tcgetattr(STDIN_FILENO, &saved_->mode) != 0) {
        delete saved_;
        saved_ = nullptr;
        return;
    }
    termios raw = saved_->mode;
    // Keys one at a time, no echo; Ctrl-C still raises SIGINT.
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

TerminalKeys::~TerminalKeys() {
    if (saved_) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved_->mode);
        delete saved_;
    }
}

int TerminalKeys::poll() {
    if (!active_) return -1;
    unsigned char c = 0;
    return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
}
#endif

}  // namespace telvo::tool
