// The loader's notifications, for both module files. On Windows this is DllMain; on POSIX a
// static object whose construction and destruction stand in for process attach and detach.
#include "lifecycle.h"

#if defined(_WIN32)

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The runtime's start-up code has constructed the static state before the attach, and tears
// it down only after the detach has returned.
// A detach with reserved set is the process's end.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        pilro::module_attached(instance);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        pilro::module_detached(reserved != nullptr);
    }
    return TRUE;
}

#else

namespace {

// Constructed when the shared object is loaded and destroyed at dlclose or process exit. At
// exit the host's other threads may still be inside the module, and go on after this; the
// log path they use has static storage and is never destroyed.
struct process_notifications {
    process_notifications() { pilro::module_attached(nullptr); }
    // A destructor cannot tell dlclose from the process's end, so it counts as the end, which
    // releases nothing; nothing here depends on it (pilro-place places no POSIX module files).
    ~process_notifications() { pilro::module_detached(true); }
    process_notifications(const process_notifications&) = delete;
    process_notifications& operator=(const process_notifications&) = delete;
};

const process_notifications notifications;

}  // namespace

#endif
