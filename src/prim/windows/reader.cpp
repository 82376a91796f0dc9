// Windows implementation of the stub's part of the platform contract in prim.h: a file read
// whole. Included by src/prim/reader.cpp.
#include <cstdlib>

#include "../prim.h"
#include "system_message.h"

namespace pilro::prim {
namespace {

void say(const char* text, char* why, std::size_t cap) noexcept {
    std::size_t at = 0;
    for (; text[at] != '\0' && at + 1 < cap; ++at) {
        why[at] = text[at];
    }
    why[at] = '\0';
}

}  // namespace

char* read_file(const char* path, std::size_t limit, std::uint64_t& size, char* why,
                std::size_t cap, bool* missing) noexcept {
    size = 0;
    why[0] = '\0';
    if (missing != nullptr) {
        *missing = false;
    }
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (missing != nullptr) {
            *missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        }
        // Windows refuses to open a directory as a file with access denied, which would send
        // the user looking at the permissions.
        const DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            say("Is a directory", why, cap);
        } else {
            system_message(code, why, cap);
        }
        return nullptr;
    }
    char* bytes = nullptr;
    LARGE_INTEGER length{};
    if (GetFileType(file) != FILE_TYPE_DISK) {
        // A pipe or a device would be read for ever, or not at all.
        say("not a regular file", why, cap);
    } else if (!GetFileSizeEx(file, &length)) {
        system_message(GetLastError(), why, cap);
    } else if ((size = static_cast<std::uint64_t>(length.QuadPart)) <= limit) {
        bytes = static_cast<char*>(std::malloc(size > 0 ? static_cast<std::size_t>(size) : 1));
        if (bytes == nullptr) {
            say("not enough memory", why, cap);
        }
        std::uint64_t got = 0;
        while (bytes != nullptr && got < size) {
            const std::uint64_t rest = size - got;
            DWORD read = 0;
            if (!ReadFile(file, bytes + got,
                          rest > 0x40000000u ? 0x40000000u : static_cast<DWORD>(rest), &read,
                          nullptr)) {
                system_message(GetLastError(), why, cap);
                std::free(bytes);
                bytes = nullptr;
            } else if (read == 0) {
                size = got;  // cut shorter since its size was taken
            } else {
                got += read;
            }
        }
    }
    CloseHandle(file);
    return bytes;
}

}  // namespace pilro::prim
