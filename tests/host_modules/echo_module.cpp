// A SAORI/1.0 module for the host's tests. Each reply is the request's own bytes, NULs
// included and nothing after them, so every byte the host sends or prints shows in its
// output; but the request "size?" gets the size of the block it came in, in decimal, as the
// platform tells it. It also fails the ways a host must survive: load data "refuse" makes load
// return FALSE, and an empty request gets no reply block at all.
#include <cstring>
#include <string>

#include "prim/prim.h"

extern "C" {

PILRO_EXPORT int PILRO_CDECL load(void* block, long length) {
    const bool refuse = length == 6 && std::memcmp(block, "refuse", 6) == 0;
    pilro::prim::block_free(block);
    return refuse ? 0 : 1;
}

PILRO_EXPORT void* PILRO_CDECL request(void* block, long* length) {
    std::size_t n = static_cast<std::size_t>(*length);
    const void* text = block;
    std::string size;
    if (n == 5 && std::memcmp(block, "size?", 5) == 0) {
        size = std::to_string(pilro::prim::block_size(block));
        text = size.data();
        n = size.size();
        *length = static_cast<long>(n);
    }
    void* reply = n == 0 ? nullptr : pilro::prim::block_alloc(n);
    if (reply != nullptr) {
        std::memcpy(reply, text, n);
    }
    pilro::prim::block_free(block);
    return reply;
}

PILRO_EXPORT int PILRO_CDECL unload(void) {
    return 1;
}
}
