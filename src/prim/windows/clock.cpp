// Windows implementation of the clock of the platform contract in prim.h. Included by
// src/prim/clock.cpp.
#include "../prim.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace pilro::prim {

std::uint64_t monotonic_microseconds() noexcept {
    // The frequency is fixed at boot; asking each time spares the module a start-up step.
    LARGE_INTEGER frequency{};
    LARGE_INTEGER count{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
    const auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
    if (per_second == 0) {
        return 0;
    }
    // In two parts, so that the product cannot overflow however long the system has run.
    return ticks / per_second * 1000000u + ticks % per_second * 1000000u / per_second;
}

void pause() noexcept {
    Sleep(1);
}

}  // namespace pilro::prim
