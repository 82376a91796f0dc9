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
    // A path that fills the buffer has been cut short (older systems then leave it without a
    // NUL): its directory would be some other directory, so it counts as no path at all.
    if (n == 0 || n >= cap) {
        buf[0] = '\0';
        return 0;
    }
    return n;
}

void append_to_file(const char* path, const char* bytes, std::size_t n) noexcept {
    // The share mode admits readers only, so each entry is written by the one writer that has
    // the file open: nothing can come between the seek to the end and the write. Another
    // writer (a second thread or process logging through this module, or anybody holding the
    // file without admitting writers) makes the open fail with a sharing violation; that is a
    // moment's wait, not a reason to drop the entry. The wait is bounded so that a file held
    // for long stalls the host by tens of milliseconds per entry at most.
    constexpr ULONGLONG patience_ms = 40;
    constexpr unsigned quick_retries = 16;
    HANDLE file = INVALID_HANDLE_VALUE;
    ULONGLONG started = 0;
    for (unsigned attempt = 0;; ++attempt) {
        file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) {
            return;  // not writable at all: the entry is lost, silently
        }
        const ULONGLONG now = GetTickCount64();
        if (attempt == 0) {
            started = now;
        } else if (now - started >= patience_ms) {
            return;
        }
        // Another appender usually holds the file for well under a millisecond: give up the
        // time slice first, and sleep only if that is not enough.
        Sleep(attempt < quick_retries ? 0 : 1);
    }
    // The 64-bit seek: with a 32-bit one a log past 4 GiB would fail to seek, and the write
    // would land on the log's first bytes.
    LARGE_INTEGER distance{};
    if (SetFilePointerEx(file, distance, nullptr, FILE_END)) {
        while (n > 0) {
            const DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
            DWORD written = 0;
            if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) {
                break;
            }
            bytes += written;
            n -= written;
        }
    }
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
