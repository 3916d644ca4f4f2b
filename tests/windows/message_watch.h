// Watches the message boxes a thread shows, and dismisses each as a user
// pressing OK would. Under Wine's null display driver (the test prefix) a
// message box is a real modal dialog that nobody sees; a CBT hook on the
// calling thread sees it activate, records what it shows and posts IDOK.
#pragma once

#include <windows.h>

#include <string>

namespace wintest {

struct SeenBox {
    std::string caption;
    std::string text;
    int buttons = 0;
    std::string button;
    bool exclamation = false;
};

class MessageWatch {
public:
    MessageWatch() {
        active_ = this;
        hook_ = SetWindowsHookExA(WH_CBT, &MessageWatch::onCbt, nullptr, GetCurrentThreadId());
    }
    ~MessageWatch() {
        if (hook_ != nullptr) UnhookWindowsHookEx(hook_);
        active_ = nullptr;
    }
    MessageWatch(const MessageWatch&) = delete;
    MessageWatch& operator=(const MessageWatch&) = delete;

    bool hooked() const { return hook_ != nullptr; }
    int count() const { return count_; }
    const SeenBox& last() const { return last_; }

private:
    static BOOL CALLBACK inspectChild(HWND child, LPARAM context) {
        auto* box = reinterpret_cast<SeenBox*>(context);
        char cls[32] = {};
        char text[128] = {};
        GetClassNameA(child, cls, sizeof cls);
        GetWindowTextA(child, text, sizeof text);
        const LONG style = GetWindowLongA(child, GWL_STYLE);
        if (lstrcmpiA(cls, "Button") == 0) {
            ++box->buttons;
            box->button = text;
        } else if (lstrcmpiA(cls, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
            HICON icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
            box->exclamation = icon != nullptr && icon == LoadIconA(nullptr, IDI_EXCLAMATION);
        } else if (lstrcmpiA(cls, "Static") == 0 && text[0] != 0) {
            box->text = text;
        }
        return TRUE;
    }

    static LRESULT CALLBACK onCbt(int code, WPARAM wParam, LPARAM lParam) {
        MessageWatch* self = active_;
        if (code == HCBT_ACTIVATE && self != nullptr) {
            HWND window = reinterpret_cast<HWND>(wParam);
            char cls[32] = {};
            GetClassNameA(window, cls, sizeof cls);
            // Only dialogs (a message box is one) count, each once, however
            // often it is activated.
            if (lstrcmpA(cls, "#32770") == 0 && GetPropA(window, "wintest-seen") == nullptr) {
                SetPropA(window, "wintest-seen", window);
                SeenBox box;
                char caption[128] = {};
                GetWindowTextA(window, caption, sizeof caption);
                box.caption = caption;
                EnumChildWindows(window, &MessageWatch::inspectChild, reinterpret_cast<LPARAM>(&box));
                self->last_ = box;
                ++self->count_;
                PostMessageA(window, WM_COMMAND, IDOK, 0);
            }
        }
        return CallNextHookEx(self != nullptr ? self->hook_ : nullptr, code, wParam, lParam);
    }

    static inline MessageWatch* active_ = nullptr;
    HHOOK hook_ = nullptr;
    int count_ = 0;
    SeenBox last_;
};

}  // namespace wintest
