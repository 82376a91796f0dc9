// The system's reason for an error code, as the module files' notes give it.
#ifndef PILRO_PRIM_WINDOWS_SYSTEM_MESSAGE_H
#define PILRO_PRIM_WINDOWS_SYSTEM_MESSAGE_H

#include <cstddef>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace pilro::prim {

// "error N: the system's message" into why (cap >= 1 bytes, NUL-terminated; the message may
// end in a line break), with nothing but KERNEL32 to write it.
inline void system_message(DWORD code, char* why, std::size_t cap) noexcept {
    char digits[16];
    std::size_t count = 0;
    for (DWORD rest = code; count == 0 || rest > 0; rest /= 10) {
        digits[count++] = static_cast<char>('0' + rest % 10);
    }
    std::size_t at = 0;
    for (const char* c = "error "; *c != '\0' && at + 1 < cap; ++c) {
        why[at++] = *c;
    }
    while (count > 0 && at + 1 < cap) {
        why[at++] = digits[--count];
    }
    if (at + 3 < cap) {
        const DWORD got =
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, why + at + 2, static_cast<DWORD>(cap - at - 2), nullptr);
        if (got > 0) {
            why[at] = ':';
            why[at + 1] = ' ';
            at += 2 + got;
        }
    }
    why[at] = '\0';
}

}  // namespace pilro::prim

#endif
