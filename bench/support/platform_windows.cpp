#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <array>
#include <functional>

#include "platform.h"

namespace pilro::bench {

const char separator = '\\';

void bare_append_cycle(const char* path, const char* bytes, std::size_t n) noexcept {
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, bytes, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(file);
}

const char* find_bytes(const char* haystack, std::size_t n, const char* needle,
                       std::size_t needle_size) noexcept {
    // The C runtime here has no memmem; a Horspool scan is what one would write instead.
    const std::boyer_moore_horspool_searcher searcher(needle, needle + needle_size);
    const char* const end = haystack + n;
    const char* const found = std::search(haystack, end, searcher);
    return found == end ? nullptr : found;
}

const char* const byte_search_name = "Horspool search";

unsigned build_lead_byte_table() noexcept {
    // What the module's start-up does before the loader's attach notification.
    std::array<bool, 256> table{};
    const UINT code_page = GetACP();
    for (unsigned c = 0; c < table.size(); ++c) {
        table[c] = IsDBCSLeadByteEx(code_page, static_cast<BYTE>(c)) != FALSE;
    }
    unsigned leads = 0;
    for (const bool lead : table) {
        leads += lead ? 1 : 0;
    }
    return leads;
}

bool has_lead_byte_table() noexcept {
    return true;
}

unsigned ansi_code_page() noexcept {
    return GetACP();
}

namespace {

// The paths come from the build as "Z:/unix/path"; the file API takes either slash, but the
// loader is only documented for backslashes.
std::string native_path(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

}  // namespace

std::string built_module() {
    return native_path(PILRO_BENCH_MODULE);
}

void remove_tree(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileA(path.c_str());
        return;
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name != "." && name != "..") {
                remove_tree(path + "\\" + name);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

std::string fresh_directory(const std::string& name) {
    const std::string root = native_path(PILRO_BENCH_SCRATCH);
    CreateDirectoryA(root.c_str(), nullptr);
    const std::string path = root + "\\" + name;
    remove_tree(path);
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

bool copy_file(const std::string& from, const std::string& to) {
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
}

std::string read_file(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string bytes;
    static char chunk[1 << 16];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return bytes;
}

std::int64_t file_size(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void empty_file(const std::string& path) {
    // Readers and writers are both admitted, so that emptying never fails merely because the
    // module has the file open at that moment (it never has, between calls).
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, TRUNCATE_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
}

void remove_file(const std::string& path) {
    DeleteFileA(path.c_str());
}

std::string machine_description() {
    std::string description = "Windows";
    // Under Wine, ntdll says so and names the version; a real Windows has no such export.
    using wine_version_fn = const char*(CDECL*)();
    if (HMODULE ntdll = GetModuleHandleA("ntdll.dll")) {
        const auto wine_version = reinterpret_cast<wine_version_fn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
        if (wine_version != nullptr) {
            description = std::string("Wine ") + wine_version();
        }
    }
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    description += ", 32-bit process, " + std::to_string(info.dwNumberOfProcessors) + " cores";
    description += ", ANSI code page " + std::to_string(GetACP());
    return description;
}

}  // namespace pilro::bench
