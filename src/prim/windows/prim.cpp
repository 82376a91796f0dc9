// Windows implementation of the platform contract in prim.h. Included by src/prim/prim.cpp.
#include "../prim.h"

#include <array>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace pilro::prim {
namespace {

// Built by the runtime's start-up code, before DllMain sees the attach. The code page is the
// one the process runs with; a later change of system settings needs a restart anyway.
const std::array<bool, 256> lead_bytes = [] {
    std::array<bool, 256> table{};
    const UINT code_page = GetACP();
    for (unsigned c = 0; c < table.size(); ++c) {
        table[c] = IsDBCSLeadByteEx(code_page, static_cast<BYTE>(c)) != FALSE;
    }
    return table;
}();

}  // namespace

void* block_alloc(std::size_t n) noexcept {
    return GlobalAlloc(GMEM_FIXED, n);
}

void block_free(void* block) noexcept {
    if (block != nullptr) {
        GlobalFree(static_cast<HGLOBAL>(block));
    }
}

std::size_t block_size(const void* block) noexcept {
    return GlobalSize(const_cast<HGLOBAL>(block));
}

bool is_lead_byte(unsigned char c) noexcept {
    return lead_bytes[c];
}

std::size_t module_file_path(void* module, char* buf, std::size_t cap) noexcept {
    const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(module), buf, static_cast<DWORD>(cap));
    buf[n < cap ? n : cap - 1] = '\0';
    return n < cap ? n : cap - 1;
}

void append_to_file(const char* path, const char* bytes, std::size_t n) noexcept {
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, bytes, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(file);
}

void* library_open(const char* path, std::string& error) {
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr) {
        const DWORD code = GetLastError();
        char text[512] = {};
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text, sizeof text, nullptr);
        std::string reason(text);
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                                   reason.back() == ' ' || reason.back() == '.')) {
            reason.pop_back();
        }
        error = "error " + std::to_string(code) + (reason.empty() ? "" : ": " + reason);
    }
    return library;
}

void* library_symbol(void* library, const char* name) noexcept {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void* library_symbol_by_ordinal(void* library, unsigned ordinal) noexcept {
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(library), MAKEINTRESOURCEA(ordinal)));
}

void library_close(void* library) noexcept {
    FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace pilro::prim
