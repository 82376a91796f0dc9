// Windows implementation of the relay's part of the platform contract in prim.h: loading the
// real module. Included by src/prim/loader.cpp.
#include "../prim.h"
#include "system_message.h"

namespace pilro::prim {

void* module_load(const char* path, char* why, std::size_t cap) noexcept {
    // With the altered search path the real module's own DLLs are looked for in its
    // directory first, as when a host loads it by its full path.
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        system_message(GetLastError(), why, cap);
    }
    return module;
}

void* module_export(void* module, const char* name) noexcept {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void* module_export_by_ordinal(void* module, unsigned ordinal) noexcept {
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(module), MAKEINTRESOURCEA(ordinal & 0xFFFF)));
}

void module_release(void* module) noexcept {
    FreeLibrary(static_cast<HMODULE>(module));
}

}  // namespace pilro::prim
