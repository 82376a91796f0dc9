// How a fuzz target reports a broken invariant: abort(), which makes libFuzzer keep the input
// as a crash artifact, after saying which invariant it was.
#ifndef PILRO_FUZZ_REQUIRE_H
#define PILRO_FUZZ_REQUIRE_H

#include <cstdio>
#include <cstdlib>

namespace pilro::fuzz {

[[noreturn]] inline void fail(const char* what) {
    std::fputs(what, stderr);
    std::fputc('\n', stderr);
    std::abort();
}

inline void require(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

}  // namespace pilro::fuzz

#endif
