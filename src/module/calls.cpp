#include <cstring>
#include <string>
#include <string_view>

#include "../calllog/calllog.h"
#include "../request/request.h"
#include "exports.h"

namespace pilro {

std::size_t readable_bytes(const void* block, long length) noexcept {
    if (block == nullptr || length <= 0) {
        return 0;
    }
    const auto wanted = static_cast<unsigned long>(length);
    const std::size_t size = prim::block_size(block);
    return wanted < size ? static_cast<std::size_t>(wanted) : size;
}

std::size_t text_length(const char* bytes, std::size_t n) noexcept {
    const void* nul = n == 0 ? nullptr : std::memchr(bytes, '\0', n);
    return nul == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(nul) - bytes);
}

void* handle_request(void* block, long* length, block_allocator alloc) noexcept {
    const std::size_t n = readable_bytes(block, length != nullptr ? *length : 0);

    // The private copy lets the host's block go at once. Requests are mostly a few hundred
    // bytes: those are copied to the stack, which spares two heap calls per request, and a
    // heap call is not cheap under every Windows. Should there be no memory for a larger
    // copy, the host's block itself serves until the reply is made: the entry is not lost.
    constexpr std::size_t stack_copy_limit = 4096;
    char stack_copy[stack_copy_limit];
    char* heap_copy = nullptr;
    char* copy = stack_copy;
    if (n >= stack_copy_limit) {
        copy = heap_copy = static_cast<char*>(alloc(n + 1));
    }
    const char* text = "";
    if (copy != nullptr) {
        if (n > 0) {
            std::memcpy(copy, block, n);
        }
        copy[n] = '\0';
        prim::block_free(block);
        block = nullptr;
        text = copy;
    } else if (block != nullptr) {
        text = static_cast<const char*>(block);
    }
    const std::size_t text_bytes = text_length(text, n);
    write_log_bytes(text, text_bytes);

    void* reply_block = pilro_reply(std::string_view(text, text_bytes), length, alloc);
    prim::block_free(heap_copy);
    prim::block_free(block);
    return reply_block;
}

void* pilro_reply(std::string_view text, long* length, block_allocator alloc) noexcept {
    const reply_pieces reply = reply_for(text);
    return status_reply(reply.protocol, reply.status, length, alloc);
}

void* status_reply(std::string_view protocol, std::string_view status, long* length,
                   block_allocator alloc) noexcept {
    // The reply is assembled in the block it is handed over in.
    const std::size_t reply_bytes = protocol.size() + status.size();
    auto* reply_block = static_cast<char*>(alloc(reply_bytes + 1));
    if (reply_block != nullptr) {
        if (!protocol.empty()) {
            std::memcpy(reply_block, protocol.data(), protocol.size());
        }
        std::memcpy(reply_block + protocol.size(), status.data(), status.size());
        reply_block[reply_bytes] = '\0';
    }
    if (length != nullptr) {
        // A host that reads a length from a null reply would crash on it; 0 keeps it safe.
        *length = reply_block != nullptr ? static_cast<long>(reply_bytes) : 0;
    }
    return reply_block;
}

void log_load(const void* block, long length, std::string_view start) noexcept {
    const char* data = static_cast<const char*>(block);
    // Data past a NUL is not logged, but the entry still gets its closing empty line, so
    // that the next entry does not run into it.
    const std::size_t n = text_length(data, readable_bytes(block, length));
    try {
        std::string entry;
        entry.reserve(start.size() + n + 4);
        entry.append(start).append(data, n).append("\r\n\r\n");
        write_log_bytes(entry.data(), entry.size());
    } catch (...) {
        // Out of memory: the entry is lost, silently, like any entry that cannot be written.
    }
}

}  // namespace pilro
