// Windows implementation of the texts of notes in prim.h. Included by src/prim/text.cpp.
#include "../prim.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace pilro::prim {

bool native_to_utf8(const char* text, std::size_t n, char* out, std::size_t cap,
                    std::size_t& size) noexcept {
    // Notes name paths, which the ANSI API holds to MAX_PATH bytes.
    wchar_t wide[1024];
    if (n == 0) {
        size = 0;
        return true;
    }
    if (n > sizeof wide / sizeof *wide) {
        return false;
    }
    const int room = cap < 0x7FFFFFFF ? static_cast<int>(cap) : 0x7FFFFFFF;
    const int count = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(n), wide,
                                          static_cast<int>(sizeof wide / sizeof *wide));
    const int made =
        count > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide, count, out, room, nullptr, nullptr) : 0;
    if (made <= 0) {
        return false;
    }
    size = static_cast<std::size_t>(made);
    return true;
}

}  // namespace pilro::prim
