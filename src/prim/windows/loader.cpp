// Windows implementation of the relay's part of the platform contract in prim.h: loading the
// real module, and timing it. Included by src/prim/loader.cpp.
#include "../prim.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace pilro::prim {

std::uint64_t monotonic_microseconds() noexcept {
    // The frequency is fixed at boot; asking each time spares the module a start-up step.
    LARGE_INTEGER frequency{};
    LARGE_INTEGER count{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
    const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
    if (per_second == 0) {
        return 0;
    }
    // In two parts, so that the product cannot overflow however long the system has run.
    return ticks / per_second * 1000000u + ticks % per_second * 1000000u / per_second;
}

void pause() noexcept {
    Sleep(1);
}

void* module_load(const char* path, char* why, std::size_t cap) noexcept {
    // With the altered search path the real module's own DLLs are looked for in its
    // directory first, as when a host loads it by its full path.
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        // "error N: the system's message", with nothing but KERNEL32 to write it.
        const DWORD code = GetLastError();
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
    return module;
}

void* module_export(void* module, const char* name) noexcept {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void module_release(void* module) noexcept {
    FreeLibrary(static_cast<HMODULE>(module));
}

}  // namespace pilro::prim
