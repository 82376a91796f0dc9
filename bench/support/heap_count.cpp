#include "heap_count.h"

#include <cstdint>
#include <cstdlib>

namespace pilro::bench::heap {
namespace {

// Open addressing over block addresses; a call takes a handful of blocks, so this never
// comes near full. It is static storage, so the hooks can use it before any constructor
// runs and never allocate themselves.
constexpr std::size_t slots = 1 << 14;
struct slot {
    void* block;
    std::size_t size;
    bool removed;
};
slot table[slots];
bool recording = false;
std::int64_t live_bytes = 0;
std::int64_t peak_bytes = 0;
std::int64_t allocation_count = 0;

std::size_t home(const void* block) noexcept {
    auto bits = reinterpret_cast<std::uintptr_t>(block);
    bits ^= bits >> 17;
    bits *= 0x9E3779B1u;
    return (bits >> 4) & (slots - 1);
}

}  // namespace

void start() noexcept {
    for (slot& s : table) {
        s = slot{nullptr, 0, false};
    }
    live_bytes = 0;
    peak_bytes = 0;
    allocation_count = 0;
    recording = true;
}

void stop() noexcept {
    recording = false;
}

std::int64_t live() noexcept {
    return live_bytes;
}

std::int64_t peak() noexcept {
    return peak_bytes;
}

void reset_peak() noexcept {
    peak_bytes = live_bytes;
}

std::int64_t allocations() noexcept {
    return allocation_count;
}

void note_alloc(void* block, std::size_t size) noexcept {
    if (!recording || block == nullptr) {
        return;
    }
    for (std::size_t i = home(block), probes = 0; probes < slots; i = (i + 1) & (slots - 1)) {
        ++probes;
        if (table[i].block == nullptr) {
            table[i] = slot{block, size, false};
            live_bytes += static_cast<std::int64_t>(size);
            peak_bytes = live_bytes > peak_bytes ? live_bytes : peak_bytes;
            ++allocation_count;
            return;
        }
    }
}

void note_free(void* block) noexcept {
    if (!recording || block == nullptr) {
        return;
    }
    for (std::size_t i = home(block), probes = 0; probes < slots; i = (i + 1) & (slots - 1)) {
        ++probes;
        if (table[i].block == nullptr && !table[i].removed) {
            return;  // not tracked: made before start()
        }
        if (table[i].block == block) {
            live_bytes -= static_cast<std::int64_t>(table[i].size);
            table[i] = slot{nullptr, 0, true};
            return;
        }
    }
}

bool program_calls_counted() noexcept {
    void* (*volatile allocate)(std::size_t) = &std::malloc;
    start();
    void* probe = allocate(37);
    const bool counted = live() == 37;
    std::free(probe);
    stop();
    return counted;
}

}  // namespace pilro::bench::heap
