// POSIX implementation of the clock of the platform contract in prim.h. Included by
// src/prim/clock.cpp.
#include <time.h>

#include "../prim.h"

namespace pilro::prim {

std::uint64_t monotonic_microseconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

void pause() noexcept {
    const timespec millisecond{0, 1000000};
    nanosleep(&millisecond, nullptr);
}

}  // namespace pilro::prim
