// Threads of one process taking turns at one thing, the log, where a thread may be stopped for
// good while it has its turn; and the holder's patience while another program holds the log.
// The rules need no platform: what they ask of the system comes in System and in the times
// given, so that they can be tried with a system made up for the purpose. Only the Windows
// module files take turns and wait (src/prim/windows/prim.cpp says why); POSIX appends need
// neither.
//
// System provides, as static functions:
//   std::uint32_t thread_id()            the calling thread's; never 0
//   bool thread_stopped(std::uint32_t id) true only when that thread surely cannot go on now:
//                                        it has ended, or it is suspended; false when it may,
//                                        or when the system cannot tell
//   std::uint32_t milliseconds()         a monotonic clock; it may wrap
//   void pause(unsigned looks)           between two looks at the turn, after that many
#ifndef PILRO_PRIM_TURNS_H
#define PILRO_PRIM_TURNS_H

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace pilro::prim {

// How long a writer has seen the file held by someone else, against its patience. Only the
// hold counts, not time in which the writer was kept from running: on a busy machine a writer
// descheduled between two tries would otherwise find its patience spent by a hold it hardly
// saw. So each stretch between two tries that both found the file held counts, but at most
// most_per_try, far more than a try takes while the writer runs; and the patience lasts at
// least least_tries tries, so that a writer whose every try is slow (each a call to a busy
// Wine server, say) does not give up after a few. An entry given up has seen the file held
// throughout its patience at least; on a busy machine the wait stretches instead. Times in any
// one unit, from a monotonic clock.
class patience {
  public:
    constexpr patience(std::int64_t patience, std::int64_t most_per_try,
                       unsigned least_tries) noexcept
        : patience_(patience), most_per_try_(most_per_try), least_tries_(least_tries) {}
    // Right after the first try that found the file held.
    void held_since(std::int64_t now) noexcept { last_ = now; }
    // Right before each further try, all of which found it held so far.
    void trying_at(std::int64_t now) noexcept {
        held_ += std::min(now - last_, most_per_try_);
        last_ = now;
        ++tries_;
    }
    bool spent() const noexcept { return held_ >= patience_ && tries_ >= least_tries_; }

  private:
    std::int64_t patience_;
    std::int64_t most_per_try_;
    unsigned least_tries_;
    std::int64_t held_ = 0;
    std::int64_t last_ = 0;
    unsigned tries_ = 0;
};

template <class System>
class turns {
  public:
    // A turn as its holder shows it to the waiters: a ticket in the high half, so that every
    // turn and every sign of life differs from the one before, and the holder's thread in the
    // low half, so that a waiter can ask whether that thread has stopped. Never 0, which stands
    // for nobody.
    using turn = std::uint64_t;

    // A waiter asks after the holder's thread once it has seen one turn that many times, and
    // then only if no waiter has asked for that long. Asking costs system calls, and under
    // Wine every one of them is a call to the Wine server, which the holder needs for its
    // file: a hundred waiters asking at once would slow the holder they wait for. The spacing
    // is a time, not a lock, since the thread that asks may itself be stopped while it asks.
    static constexpr unsigned looks_before_checks = 64;
    static constexpr std::uint32_t check_spacing_ms = 16;
    // A holder that goes on keeps its turn however slow it is. Only one that has shown no
    // sign of life for this long, over at least this many looks, loses it even so: a thread
    // suspended where the system cannot tell, or one whose end it did not show. A live holder
    // shows a sign at every try at the file, so this has to outlast one call to the system
    // or one stretch without the processor: under 64-bit Wine, beside two busy loops, waiters
    // saw a live holder show none for up to 7 s. The looks keep a waiter that was itself
    // kept from running from taking that whole stretch for the holder's.
    static constexpr std::uint32_t stuck_ms = 60000;
    static constexpr unsigned stuck_looks = 256;

    constexpr turns() noexcept = default;
    turns(const turns&) = delete;
    turns& operator=(const turns&) = delete;

    // Waits for the turn and returns it. taken_over tells whether it was taken from a holder
    // that could not go on, or showed no sign of life past the bound, rather than given back.
    turn take(bool& taken_over) noexcept {
        const turn mine = next();
        taken_over = false;
        turn seen = 0;
        if (holder_.compare_exchange_strong(seen, mine)) {
            return mine;
        }
        std::uint32_t seen_since = System::milliseconds();
        unsigned same = 0;
        for (unsigned looks = 0;; ++looks) {
            System::pause(looks);
            turn holding = 0;
            if (holder_.compare_exchange_strong(holding, mine)) {
                return mine;
            }
            const std::uint32_t now = System::milliseconds();
            if (holding != seen) {
                seen = holding;
                seen_since = now;
                same = 0;
                continue;
            }
            ++same;
            bool stopped = false;
            std::uint32_t asked = last_check_;
            if (same >= looks_before_checks && now - asked >= check_spacing_ms &&
                last_check_.compare_exchange_strong(asked, now)) {
                stopped = System::thread_stopped(static_cast<std::uint32_t>(seen));
            }
            const bool stuck = same >= stuck_looks && now - seen_since >= stuck_ms;
            // Only the waiter that exchanges the very turn it judged takes it: the others
            // then see a new turn, whose holder is alive.
            turn expected = seen;
            if ((stopped || stuck) && holder_.compare_exchange_strong(expected, mine)) {
                taken_over = true;
                return mine;
            }
        }
    }

    // The holder's sign of life, while it waits for something else: its turn under a new
    // ticket. Nothing happens when the turn is no longer its own.
    void renew(turn& mine) noexcept {
        turn expected = mine;
        const turn fresh = next();
        if (holder_.compare_exchange_strong(expected, fresh)) {
            mine = fresh;
        }
    }

    // A turn that was taken over is not given back: it is no longer the holder's.
    void give_back(turn mine) noexcept { holder_.compare_exchange_strong(mine, 0); }

  private:
    turn next() noexcept {
        const std::uint32_t ticket = tickets_.fetch_add(1) + 1;
        return static_cast<turn>(ticket) << 32 | System::thread_id();
    }

    std::atomic<turn> holder_{0};
    std::atomic<std::uint32_t> tickets_{0};
    std::atomic<std::uint32_t> last_check_{0};
};

}  // namespace pilro::prim

#endif
