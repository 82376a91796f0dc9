// Windows has no interposition: each module calls malloc, free, GlobalAlloc and GlobalFree
// through its own import address table. The entries for those functions, in this program and
// in a loaded module file, are pointed at the counting versions below.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "heap_count.h"

namespace pilro::bench::heap {
namespace {

using malloc_fn = void*(__cdecl*)(std::size_t);
using calloc_fn = void*(__cdecl*)(std::size_t, std::size_t);
using realloc_fn = void*(__cdecl*)(void*, std::size_t);
using free_fn = void(__cdecl*)(void*);
using global_alloc_fn = HGLOBAL(WINAPI*)(UINT, SIZE_T);
using global_free_fn = HGLOBAL(WINAPI*)(HGLOBAL);

malloc_fn real_malloc = nullptr;
calloc_fn real_calloc = nullptr;
realloc_fn real_realloc = nullptr;
free_fn real_free = nullptr;
global_alloc_fn real_global_alloc = nullptr;
global_free_fn real_global_free = nullptr;

void* __cdecl counted_malloc(std::size_t size) {
    void* block = real_malloc(size);
    note_alloc(block, size);
    return block;
}

void* __cdecl counted_calloc(std::size_t count, std::size_t size) {
    void* block = real_calloc(count, size);
    note_alloc(block, count * size);
    return block;
}

void* __cdecl counted_realloc(void* block, std::size_t size) {
    void* moved = real_realloc(block, size);
    if (moved != nullptr || size == 0) {
        note_free(block);
        note_alloc(moved, size);
    }
    return moved;
}

void __cdecl counted_free(void* block) {
    note_free(block);
    real_free(block);
}

HGLOBAL WINAPI counted_global_alloc(UINT flags, SIZE_T size) {
    HGLOBAL block = real_global_alloc(flags, size);
    note_alloc(block, size);
    return block;
}

HGLOBAL WINAPI counted_global_free(HGLOBAL block) {
    note_free(block);
    return real_global_free(block);
}

struct redirect {
    void* real;
    void* counted;
};

bool resolve() {
    if (real_malloc != nullptr) {
        return true;
    }
    HMODULE crt = GetModuleHandleA("msvcrt.dll");
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (crt == nullptr || kernel == nullptr) {
        return false;
    }
    const auto find = [](HMODULE module, const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(module, name));
    };
    real_malloc = reinterpret_cast<malloc_fn>(find(crt, "malloc"));
    real_calloc = reinterpret_cast<calloc_fn>(find(crt, "calloc"));
    real_realloc = reinterpret_cast<realloc_fn>(find(crt, "realloc"));
    real_free = reinterpret_cast<free_fn>(find(crt, "free"));
    real_global_alloc = reinterpret_cast<global_alloc_fn>(find(kernel, "GlobalAlloc"));
    real_global_free = reinterpret_cast<global_free_fn>(find(kernel, "GlobalFree"));
    return real_malloc && real_calloc && real_realloc && real_free && real_global_alloc &&
           real_global_free;
}

// Points every import slot of module that holds one of the real functions at its counting
// version; returns how many slots were changed.
unsigned redirect_imports(HMODULE module) {
    const redirect redirects[] = {
        {reinterpret_cast<void*>(real_malloc), reinterpret_cast<void*>(&counted_malloc)},
        {reinterpret_cast<void*>(real_calloc), reinterpret_cast<void*>(&counted_calloc)},
        {reinterpret_cast<void*>(real_realloc), reinterpret_cast<void*>(&counted_realloc)},
        {reinterpret_cast<void*>(real_free), reinterpret_cast<void*>(&counted_free)},
        {reinterpret_cast<void*>(real_global_alloc),
         reinterpret_cast<void*>(&counted_global_alloc)},
        {reinterpret_cast<void*>(real_global_free), reinterpret_cast<void*>(&counted_global_free)},
    };
    auto* const base = reinterpret_cast<unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) {
        return 0;
    }
    unsigned changed = 0;
    for (auto* descriptor =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        for (auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
             thunk->u1.Function != 0; ++thunk) {
            void** entry = reinterpret_cast<void**>(&thunk->u1.Function);
            for (const redirect& r : redirects) {
                if (*entry != r.real) {
                    continue;
                }
                DWORD protection = 0;
                if (VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &protection)) {
                    *entry = r.counted;
                    VirtualProtect(entry, sizeof *entry, protection, &protection);
                    ++changed;
                }
                break;
            }
        }
    }
    return changed;
}

bool install_in(HMODULE module, const char* name, std::string& how) {
    if (!resolve()) {
        how = "malloc or GlobalAlloc not found";
        return false;
    }
    const unsigned changed = redirect_imports(module);
    how = std::string("malloc, calloc, realloc, free, GlobalAlloc and GlobalFree of ") + name +
          ", through its import table (" + std::to_string(changed) + " entries)";
    return changed > 0;
}

}  // namespace

bool install(std::string& how) {
    if (!install_in(GetModuleHandleA(nullptr), "this program", how)) {
        return false;
    }
    const bool counted = program_calls_counted();
    if (!counted) {
        how = "the import table redirection is not in effect";
    }
    return counted;
}

bool install_into(void* library, std::string& how) {
    return install_in(static_cast<HMODULE>(library), "the module file", how);
}

}  // namespace pilro::bench::heap
