// Windows implementation of the platform contract in prim.h. Included by src/prim/prim.cpp.
#include "../prim.h"

#include <array>

#include "../turns.h"

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

namespace {

// Whether all n bytes were written; *end is then the offset just past them (the file is
// held without sharing write access, so nobody else can have written in between).
bool append_to_open_file(HANDLE file, const char* bytes, std::size_t n,
                         std::uint64_t* end) noexcept {
    // The 64-bit seek: with a 32-bit one a log past 4 GiB would fail to seek, and the write
    // would land on the log's first bytes.
    LARGE_INTEGER distance{};
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(file, distance, &position, FILE_END)) {
        return false;
    }
    const std::size_t total = n;
    while (n > 0) {
        const DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        n -= written;
    }
    if (end != nullptr) {
        *end = static_cast<std::uint64_t>(position.QuadPart) + total;
    }
    return true;
}

// Threads of one process take turns at the log: they would otherwise meet in the sharing check
// below, where a thread that keeps losing to many siblings outlasts its patience. The turns
// need no set-up or tear-down (so nothing changes about how the DLL starts and stops) and work
// on every Windows. A turn lasts one append; waiters give up their time slice, then sleep 4 ms
// between looks. Under Wine, where Sleep(1) takes one millisecond, a hundred and twenty-eight
// waiters looking that often kept the holder from running on a busy machine, and their line
// took ten to twenty times as long.
//
// A holder may never give its turn back: at process end the system stops every other thread
// wherever it is before the detach, and a host may suspend or kill a thread. A waiter takes
// the turn over only from a holder that cannot go on, which it sees at once: its thread has
// ended (under Wine, at the detach of a process end, a stopped thread's handle is already
// signalled, or its id names no thread any more), or it is suspended. A holder that is only
// slow, descheduled on a busy machine or waiting out another program's hold, keeps its turn:
// had a waiter taken it, both would meet at the file, and one might give up there.
//
// NtQueryInformationThread tells a thread's suspend count from Windows 8.1 on (and under
// Wine); earlier systems refuse the question, and a suspended holder there loses its turn
// only to the bound in turns.h. Looked up when the module starts, outside any wait.
constexpr ULONG thread_suspend_count = 35;
using query_thread_function = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
const query_thread_function query_thread =
    reinterpret_cast<query_thread_function>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));

struct windows_system {
    static std::uint32_t thread_id() noexcept { return GetCurrentThreadId(); }

    static bool thread_stopped(std::uint32_t id) noexcept {
        HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, id);
        if (thread == nullptr) {
            // No thread has that id any more. Any other refusal tells nothing.
            return GetLastError() == ERROR_INVALID_PARAMETER;
        }
        ULONG suspended = 0;
        const bool stopped = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0 ||
                             (query_thread != nullptr &&
                              query_thread(thread, thread_suspend_count, &suspended,
                                           sizeof suspended, nullptr) == 0 &&
                              suspended > 0);
        CloseHandle(thread);
        return stopped;
    }

    // GetTickCount rather than its 64-bit twin, which older systems lack; the turns take only
    // differences, which survive the wrap.
    static std::uint32_t milliseconds() noexcept { return GetTickCount(); }

    static void pause(unsigned looks) noexcept { Sleep(looks < 64 ? 0 : 4); }
};

using log_turns = turns<windows_system>;
log_turns turns_at_the_log;

// How long an entry waits for another program (or another process logging through this
// module) that holds the log: 40 ms of that hold, as turns.h counts it, and 256 tries. A file
// held for long stalls the host by tens of milliseconds per entry at most. A stretch between
// two tries counts a millisecond at most: a try takes a few microseconds on Windows, tens
// under Wine, where 256 of them last about 10 ms on a quiet machine. Without the least number
// of tries, four processes logging at once lost 6 of 60,000 entries under 64-bit Wine on a
// busy machine, where each try took long; with it, none of 72,000.
constexpr LONGLONG patience_ms = 40;
constexpr LONGLONG try_counts_at_most_ms = 1;
constexpr unsigned least_tries = 256;

LONGLONG performance_count() noexcept {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// The share mode admits readers only, so each entry is written by the one writer that has
// the file open: nothing can come between the seek to the end and the write. held tells
// whether the open failed only because another writer (another process logging through this
// module, or anybody holding the file without admitting writers) has it: a moment's wait, not
// a reason to drop the entry.
HANDLE try_open(const char* path, bool& held) noexcept {
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    return file;
}

// Each try is also the holder's sign of life to its waiters.
HANDLE open_for_append(const char* path, log_turns::turn& mine) noexcept {
    bool held = false;
    HANDLE file = try_open(path, held);
    if (!held) {
        return file;  // or not writable at all: the entry is lost, silently
    }
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    patience wait(frequency.QuadPart * patience_ms / 1000,
                  frequency.QuadPart * try_counts_at_most_ms / 1000, least_tries);
    wait.held_since(performance_count());
    while (!wait.spent()) {
        // Another appender holds the file for well under a millisecond, and appenders in a
        // busy loop leave it free only for moments: retrying at once, after giving up the
        // time slice, catches those moments. Sleeping a tick between tries let a waiter
        // starve past its patience under four busy processes.
        Sleep(0);
        turns_at_the_log.renew(mine);
        wait.trying_at(performance_count());
        file = try_open(path, held);
        if (!held) {
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

bool append_to_file(const char* path, const char* bytes, std::size_t n,
                    std::uint64_t* end) noexcept {
    bool taken_over = false;
    log_turns::turn mine = turns_at_the_log.take(taken_over);
    HANDLE file = open_for_append(path, mine);
    bool whole = false;
    if (file != INVALID_HANDLE_VALUE) {
        whole = append_to_open_file(file, bytes, n, end);
        CloseHandle(file);
    }
    turns_at_the_log.give_back(mine);
    return whole;
}

}  // namespace pilro::prim
