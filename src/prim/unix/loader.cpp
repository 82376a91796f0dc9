// POSIX implementation of the relay's part of the platform contract in prim.h: loading the
// real module. Included by src/prim/loader.cpp.
#include <dlfcn.h>

#include <cstdio>

#include "../prim.h"

namespace pilro::prim {

void* module_load(const char* path, char* why, std::size_t cap) noexcept {
    // RTLD_LOCAL keeps the real module's symbols out of everybody else's way, as a host's
    // own dlopen would. Its dependencies are found through its own run path, as ever.
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = dlerror();
        std::snprintf(why, cap, "%s", reason != nullptr ? reason : "unknown error");
    }
    return module;
}

void* module_export(void* module, const char* name) noexcept {
    return dlsym(module, name);
}

void* module_export_by_ordinal(void*, unsigned) noexcept {
    return nullptr;
}

void module_release(void* module) noexcept {
    dlclose(module);
}

}  // namespace pilro::prim
