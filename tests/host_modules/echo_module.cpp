// A SAORI/1.0 module for the host's tests, and the real module behind the relay in its
// tests. Each reply is the request's own bytes, NULs included and nothing after them, so
// every byte the host sends or prints shows in its output; but the request "size?" gets the
// size of the block it came in, in decimal, as the platform tells it. It also fails the ways
// a host must survive: load data "refuse" makes load return FALSE, an empty request and one
// that starts with "null" get no reply block at all (the latter with the length left as it
// was), one that starts with "past" gets a length far past its reply block's end, one that
// starts with "exit" ends the process (status 7) and one that starts with "wait" is answered
// once unload has been called since the last load, and no sooner than 400 ms. One that starts
// with "next" gets a count after its bytes: " 1" the first time in the process, " 2" the next,
// and so on, so that alike requests get replies that differ. A request that starts with
// "loaded?" gets "load " or "loadu " (whichever was called last) and the load data it was given.
//
// Its further exports are what pilro-place must pass on untouched: one that returns a value,
// one that calls back into the host, one with float arguments (in xmm registers on x86-64),
// on 32-bit x86 a stdcall and a fastcall one, one that a Windows build exports by ordinal only,
// and there thousands of other names for sum_of (echo_module.def, made in CMakeLists.txt).
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "prim/prim.h"

#if defined(__i386__)
#define ECHO_STDCALL __attribute__((stdcall))
#define ECHO_FASTCALL __attribute__((fastcall))
#endif

namespace {

std::atomic<bool> unloaded{false};
// What the last load or loadu was given.
std::string loaded;

int start(const char* which, void* block, long length) {
    unloaded = false;
    const bool refuse = length == 6 && std::memcmp(block, "refuse", 6) == 0;
    loaded.assign(which).append(static_cast<const char*>(block), length > 0 ? length : 0);
    pilro::prim::block_free(block);
    return refuse ? 0 : 1;
}

}  // namespace

extern "C" {

PILRO_EXPORT int PILRO_CDECL load(void* block, long length) {
    return start("load ", block, length);
}

PILRO_EXPORT int PILRO_CDECL loadu(void* block, long length) {
    return start("loadu ", block, length);
}

PILRO_EXPORT int PILRO_CDECL sum_of(int a, int b, int c) {
    return a + b + c;
}

// Calls back with the context and 7, and returns twice what the callback returned.
PILRO_EXPORT int PILRO_CDECL with_callback(int(PILRO_CDECL* callback)(void*, int), void* context) {
    return 2 * callback(context, 7);
}

PILRO_EXPORT double PILRO_CDECL scaled(double x, int n, double y, int m) {
    return x * n + y * m;
}

PILRO_EXPORT int PILRO_CDECL ordinal_only(void) {
    return 100;
}

#if defined(__i386__)
PILRO_EXPORT int ECHO_STDCALL stdcall_difference(int a, int b) {
    return a - b;
}

PILRO_EXPORT int ECHO_FASTCALL fastcall_difference(int a, int b) {
    return a - b;
}
#endif

PILRO_EXPORT void* PILRO_CDECL request(void* block, long* length) {
    static std::atomic<int> nexts{0};
    std::size_t n = static_cast<std::size_t>(*length);
    const void* text = block;
    std::string size;
    if (n >= 7 && std::memcmp(block, "loaded?", 7) == 0) {
        size = loaded;
        text = size.data();
        n = size.size();
        *length = static_cast<long>(n);
    }
    if (n == 5 && std::memcmp(block, "size?", 5) == 0) {
        size = std::to_string(pilro::prim::block_size(block));
        text = size.data();
        n = size.size();
        *length = static_cast<long>(n);
    }
    const auto cue = [&](const char* word) { return n >= 4 && std::memcmp(block, word, 4) == 0; };
    if (cue("exit")) {
        std::_Exit(7);
    }
    if (cue("next")) {
        size.assign(static_cast<const char*>(block), n).append(" " + std::to_string(++nexts));
        text = size.data();
        n = size.size();
        *length = static_cast<long>(n);
    }
    if (cue("wait")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        while (!unloaded) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void* reply = n == 0 || cue("null") ? nullptr : pilro::prim::block_alloc(n);
    if (reply != nullptr) {
        std::memcpy(reply, text, n);
        *length += cue("past") ? 1000000 : 0;
    }
    pilro::prim::block_free(block);
    return reply;
}

PILRO_EXPORT int PILRO_CDECL unload(void) {
    unloaded = true;
    return 1;
}
}
