// The library's static objects with behaviour, all in this one translation
// unit so that their order is fixed: created in this order while the library
// is loaded, destroyed in reverse at unload.
//   1. deviceLock - serialises command writes and block sends
//   2. usbBinding - binds WinUSB (or the device backend module) and its entry points
//   3. queueLock  - serialises the segment queue
//   4. the application object - the caption of the library's message box
// Everything else is plain static data, zero (or its named default) at load.
#include "link/link.h"
#include "motion/motion.h"
#include "platform/platform.h"

namespace telvo {

namespace link {
platform::RecursiveLock deviceLock;
}

namespace platform {
UsbBinding usbBinding;
}

namespace motion {
platform::RecursiveLock queueLock;
}

namespace {

// The library as an application: it has no behaviour of its own beyond
// naming itself in the message box.
class Application {
public:
    const char* caption() const { return "telvo"; }
};

const Application application;

}  // namespace

namespace link {
const char* messageCaption() {
    return application.caption();
}
}  // namespace link

}  // namespace telvo
