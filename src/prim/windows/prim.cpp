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

// How long an entry waits for a thread that has its turn, or for another writer that has
// the file open, to let go. A file held for long stalls the host by tens of milliseconds per
// entry at most. The wait for the file ends only after a number of tries as well, so that a
// process the scheduler leaves waiting does not count that time against its chances.
constexpr DWORD patience_ms = 40;
constexpr unsigned least_attempts = 256;

// Threads of one process take turns at the log: they would otherwise meet in the sharing
// check below, where a thread that keeps losing to many siblings outlasts its patience. A
// plain spin lock: it needs no set-up or tear-down (so nothing changes about how the DLL
// starts and stops) and works on every Windows. It is held for one append; waiters give up
// their time slice, then sleep.
//
// A holder may never give its turn back: at process end the system stops every other thread
// wherever it is before the detach, and a host may suspend or kill a thread. So a waiter
// gives up once no turn has been given back for the patience: waiting behind siblings that
// keep writing is progress, waiting for a stopped thread is not. It then goes on without a
// turn; the share mode still keeps its entry whole. However long the line, a waiter never
// gives up while the turns go round: one that did would compete at the file with those still
// in line, and entries were lost that way under load.
volatile LONG appending = 0;
// Counts the turns given back.
volatile LONG turns_given = 0;

// Whether the turn was had. GetTickCount rather than its 64-bit twin, which older systems
// lack; the unsigned differences survive the wrap.
bool take_turn() noexcept {
    if (InterlockedCompareExchange(&appending, 1, 0) == 0) {
        return true;
    }
    DWORD progress_seen = GetTickCount();
    LONG given_seen = turns_given;
    for (unsigned spins = 0;; ++spins) {
        Sleep(spins < 64 ? 0 : 1);
        if (InterlockedCompareExchange(&appending, 1, 0) == 0) {
            return true;
        }
        const DWORD now = GetTickCount();
        const LONG given = turns_given;
        if (given != given_seen) {
            given_seen = given;
            progress_seen = now;
        } else if (now - progress_seen >= patience_ms) {
            return false;
        }
    }
}

void give_turn_back() noexcept {
    InterlockedIncrement(&turns_given);
    InterlockedExchange(&appending, 0);
}

// The share mode admits readers only, so each entry is written by the one writer that has
// the file open: nothing can come between the seek to the end and the write. Another writer
// (another process logging through this module, or anybody holding the file without
// admitting writers) makes the open fail with a sharing violation; that is a moment's wait,
// not a reason to drop the entry. A thread that has already waited out its patience for a
// turn makes only the least number of tries.
HANDLE open_for_append(const char* path, bool patient) noexcept {
    DWORD started = 0;
    for (unsigned attempt = 0;; ++attempt) {
        HANDLE file =
            CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            return file;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) {
            return INVALID_HANDLE_VALUE;  // not writable at all: the entry is lost, silently
        }
        const DWORD now = GetTickCount();
        if (attempt == 0) {
            started = now;
        } else if (attempt >= least_attempts && (!patient || now - started >= patience_ms)) {
            return INVALID_HANDLE_VALUE;
        }
        // Another appender holds the file for well under a millisecond, and appenders in a
        // busy loop leave it free only for moments: retrying at once, after giving up the
        // time slice, catches those moments. Sleeping a tick between tries let a waiter
        // starve past its patience under four busy processes.
        Sleep(0);
    }
}

}  // namespace

bool append_to_file(const char* path, const char* bytes, std::size_t n,
                    std::uint64_t* end) noexcept {
    const bool turn = take_turn();
    HANDLE file = open_for_append(path, turn);
    bool whole = false;
    if (file != INVALID_HANDLE_VALUE) {
        whole = append_to_open_file(file, bytes, n, end);
        CloseHandle(file);
    }
    if (turn) {
        give_turn_back();
    }
    return whole;
}

}  // namespace pilro::prim
