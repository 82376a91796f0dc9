#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "file_trouble.h"

namespace pilro::test {

void* hold_exclusively(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              0, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

void release(void* held) {
    if (held != nullptr) {
        CloseHandle(held);
    }
}

bool make_read_only(const std::string& path) {
    return SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY) != FALSE;
}

std::string full_device() {
    return {};
}

}  // namespace pilro::test
