#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <array>
#include <functional>

#include "platform.h"

namespace pilro::bench {

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

std::int64_t page_faults() noexcept {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    // A process that has started has taken thousands of faults; 0 means the system does not
    // keep the count (Wine 8 does not).
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ||
        counters.PageFaultCount == 0) {
        return -1;
    }
    return counters.PageFaultCount;
}

double processor_seconds() noexcept {
    FILETIME created{};
    FILETIME ended{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) {
        return -1;
    }
    // In units of 100 ns.
    const auto seconds = [](const FILETIME& t) {
        return static_cast<double>(static_cast<std::uint64_t>(t.dwHighDateTime) << 32 |
                                   t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
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
    description += ", " + std::to_string(sizeof(void*) * 8) + "-bit process, " +
                   std::to_string(info.dwNumberOfProcessors) + " cores";
    description += ", ANSI code page " + std::to_string(GetACP());
    return description;
}

}  // namespace pilro::bench
