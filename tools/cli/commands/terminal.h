// Keys from the terminal while a run goes on: raw, unbuffered, without echo,
// read without waiting, and the terminal restored however the run ends.
// Without a terminal on standard input nothing is read.
#pragma once

namespace telvo::tool {

class TerminalKeys {
public:
    TerminalKeys();
    ~TerminalKeys();
    TerminalKeys(const TerminalKeys&) = delete;
    TerminalKeys& operator=(const TerminalKeys&) = delete;

    bool active() const { return active_; }
    // The next key pressed, or -1 when none is waiting.
    int poll();

private:
    bool active_ = false;
    struct Saved;
    Saved* saved_ = nullptr;
};

}  // namespace telvo::tool
