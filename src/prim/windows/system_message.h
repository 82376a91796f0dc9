// The system's reason for an error code, as the module files' notes give it.
#ifndef PILRO_PRIM_WINDOWS_SYSTEM_MESSAGE_H
#define PILRO_PRIM_WINDOWS_SYSTEM_MESSAGE_H

#include <cstddef>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace pilro::prim {

// "error N: the system's message" into why (cap >= 1 bytes, NUL-terminated; the message may
// end in a line break), in UTF-8 as notes are, with nothing but KERNEL32 to write it. The
// message comes in UTF-16: in the ANSI code page, a message in a language that the code page
// cannot spell would lose its characters, and notes would be in whatever charset the system
// has. A message that does not fit is left out.
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
    wchar_t message[512];
    const DWORD got =
        at + 3 < cap
            ? FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, message, sizeof message / sizeof *message, nullptr)
            : 0;
    const int made =
        got > 0 ? WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(got), why + at + 2,
                                      static_cast<int>(cap - at - 3), nullptr, nullptr)
                : 0;
    if (made > 0) {
        why[at] = ':';
        why[at + 1] = ' ';
        at += 2 + static_cast<std::size_t>(made);
    }
    why[at] = '\0';
}

}  // namespace pilro::prim

#endif
