#include "exports.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "../calllog/calllog.h"
#include "../request/request.h"

extern "C" {

int PILRO_CDECL load(void* block, long length) {
    const char* data = static_cast<const char*>(block);
    const auto n = static_cast<std::size_t>(length);
    std::string entry;
    entry.reserve(n + 11);
    entry.append("load() ").append(data, n).append("\r\n\r\n");
    pilro::write_log(entry);
    pilro::prim::block_free(block);
    return 1;
}

void* PILRO_CDECL request(void* block, long* length) {
    const auto n = static_cast<std::size_t>(*length);
    std::unique_ptr<char[]> text(new char[n + 1]);
    std::memcpy(text.get(), block, n);
    text[n] = '\0';
    pilro::prim::block_free(block);

    pilro::write_log(text.get());
    const std::string reply = pilro::build_reply(text.get());
    text.reset();

    *length = static_cast<long>(reply.size());
    void* out = pilro::prim::block_alloc(reply.size() + 1);
    std::memcpy(out, reply.c_str(), reply.size() + 1);
    return out;
}

int PILRO_CDECL unload(void) {
    pilro::write_log("unload()\r\n\r\n");
    return 1;
}
}
