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
// and so on, so that alike requests get replies that differ.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "prim/prim.h"

namespace {

std::atomic<bool> unloaded{false};

}  // namespace

extern "C" {

PILRO_EXPORT int PILRO_CDECL load(void* block, long length) {
    unloaded = false;
    const bool refuse = length == 6 && std::memcmp(block, "refuse", 6) == 0;
    pilro::prim::block_free(block);
    return refuse ? 0 : 1;
}

PILRO_EXPORT void* PILRO_CDECL request(void* block, long* length) {
    static std::atomic<int> nexts{0};
    std::size_t n = static_cast<std::size_t>(*length);
    const void* text = block;
    std::string size;
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
