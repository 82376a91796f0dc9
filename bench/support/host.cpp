#include "host.h"

#include <algorithm>
#include <cstring>

#include "module/exports.h"
#include "platform/platform.h"
#include "prim/prim.h"

namespace pilro::bench {

entry_points linked_module() {
    entry_points exports;
    exports.load = &::load;
    exports.request = &::request;
    exports.unload = &::unload;
    return exports;
}

loaded_module::loaded_module(const std::string& path) {
    library_ = platform::library_open(path.c_str(), error_);
    if (library_ == nullptr) {
        return;
    }
    exports_.load =
        reinterpret_cast<int (*)(void*, long)>(platform::library_symbol(library_, "load"));
    exports_.request =
        reinterpret_cast<void* (*)(void*, long*)>(platform::library_symbol(library_, "request"));
    exports_.unload = reinterpret_cast<int (*)()>(platform::library_symbol(library_, "unload"));
    if (exports_.load == nullptr || exports_.request == nullptr || exports_.unload == nullptr) {
        error_ = "the module does not export load, request and unload";
        exports_.request = nullptr;
    }
}

loaded_module::~loaded_module() {
    if (library_ != nullptr) {
        platform::library_close(library_);
    }
}

long round_trip(const entry_points& module, std::string_view text, std::string* reply) {
    void* block = prim::block_alloc(text.size());
    if (block == nullptr) {
        return -1;
    }
    std::memcpy(block, text.data(), text.size());
    long length = static_cast<long>(text.size());
    void* out = module.request(block, &length);
    if (reply != nullptr) {
        // The NUL after the reply, where the block holds one, shows whether it is there; a
        // module whose block ends with the reply (the echo module) has none to read.
        std::size_t n = out == nullptr || length < 0 ? 0 : static_cast<std::size_t>(length) + 1;
        if (out != nullptr) {
            n = std::min(n, prim::block_size(out));
        }
        reply->assign(out == nullptr ? "" : static_cast<const char*>(out), n);
    }
    prim::block_free(out);
    return length;
}

void host_block(std::string_view text) {
    void* block = prim::block_alloc(text.size());
    if (block != nullptr) {
        std::memcpy(block, text.data(), text.size());
    }
    prim::block_free(block);
}

void load_with(const entry_points& module, std::string_view data) {
    void* block = prim::block_alloc(data.size());
    if (block == nullptr) {
        return;
    }
    std::memcpy(block, data.data(), data.size());
    module.load(block, static_cast<long>(data.size()));
}

}  // namespace pilro::bench
