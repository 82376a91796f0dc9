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
// their time slice, then sleep 4 ms between looks. Under Wine, where Sleep(1) takes one
// millisecond, a hundred and twenty-eight waiters looking that often kept the holder from
// running on a busy machine, and their line took ten to twenty times as long.
//
// A holder may never give its turn back: at process end the system stops every other thread
// wherever it is before the detach, and a host may suspend or kill a thread. So each turn
// has a ticket of its own, and a waiter that has seen one ticket hold the turn for the
// patience takes the turn over, by exchanging that ticket for its own: one waiter does, and
// the others see its ticket as progress. Had they all gone to the file without a turn, they
// would have lost entries there, since a busy machine does keep a holder from running that
// long now and then. However long the line, a waiter never gives up while tickets change.
// A holder whose turn was taken over gives nothing back; if it was only slow, the share mode
// still keeps both entries whole.
volatile LONG holder = 0;  // the ticket that has the turn; 0 while nobody has it
volatile LONG tickets = 0;

struct turn {
    LONG ticket;
    bool taken_over;  // from a holder that was stopped, or at least stood still
};

// GetTickCount rather than its 64-bit twin, which older systems lack; the unsigned
// differences survive the wrap. Ticket 0 stands for nobody, so the wrap skips it.
turn take_turn() noexcept {
    LONG ticket = InterlockedIncrement(&tickets);
    if (ticket == 0) {
        ticket = InterlockedIncrement(&tickets);
    }
    LONG seen = InterlockedCompareExchange(&holder, ticket, 0);
    if (seen == 0) {
        return {ticket, false};
    }
    DWORD progress_seen = GetTickCount();
    for (unsigned spins = 0;; ++spins) {
        Sleep(spins < 64 ? 0 : 4);
        const LONG now_holding = InterlockedCompareExchange(&holder, ticket, 0);
        if (now_holding == 0) {
            return {ticket, false};
        }
        const DWORD now = GetTickCount();
        if (now_holding != seen) {
            seen = now_holding;
            progress_seen = now;
        }
        if (now - progress_seen >= patience_ms &&
            InterlockedCompareExchange(&holder, ticket, seen) == seen) {
            return {ticket, true};
        }
    }
}

void give_turn_back(LONG ticket) noexcept {
    InterlockedCompareExchange(&holder, 0, ticket);
}

// The share mode admits readers only, so each entry is written by the one writer that has
// the file open: nothing can come between the seek to the end and the write. Another writer
// (another process logging through this module, or anybody holding the file without
// admitting writers) makes the open fail with a sharing violation; that is a moment's wait,
// not a reason to drop the entry. A thread that took its turn over from a holder that stood
// still makes only the least number of tries: that holder may be stopped with the file open,
// and the entry has already waited out its patience.
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
    const turn mine = take_turn();
    HANDLE file = open_for_append(path, !mine.taken_over);
    bool whole = false;
    if (file != INVALID_HANDLE_VALUE) {
        whole = append_to_open_file(file, bytes, n, end);
        CloseHandle(file);
    }
    give_turn_back(mine.ticket);
    return whole;
}

}  // namespace pilro::prim
