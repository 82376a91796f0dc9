// POSIX implementation of the texts of notes in prim.h. Included by src/prim/text.cpp.
#include <cstring>

#include "../prim.h"

namespace pilro::prim {

bool native_to_utf8(const char* text, std::size_t n, char* out, std::size_t cap,
                    std::size_t& size) noexcept {
    if (n > cap) {
        return false;
    }
    if (n > 0) {
        std::memcpy(out, text, n);
    }
    size = n;
    return true;
}

}  // namespace pilro::prim
