// The relay: a module file that stands in front of the real module. Placed as foo.pilro.dll,
// it relays every call to foo.dll beside it; placed as foo.dll, to foo.orig.dll beside it.
// Either way it logs both directions to foo.pilro.txt: pilro's own entries for each call, and
// after each relayed request the real module's reply with the time it took. Whenever it is not
// relaying (before the first load, after the unload, or without a real module it can use) it
// answers exactly as pilro does; when it cannot use the real module, a note in the log says why.
//
// Host threads may call at any time and at once, and the process may end while they are
// inside the relay or the real module. So the state is a few atomics and plain arrays that
// are never destroyed, no wait is unbounded, and the real module is released only by the
// unload that the host asked for, and only when no call is inside it.
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "../calllog/calllog.h"
#include "../capture/capture_log.h"
#include "../module/exports.h"
#include "../module/lifecycle.h"
#include "../prim/prim.h"

namespace pilro {
namespace {

// The real module's full path, NUL-terminated: the relay's own with ".orig" before its last
// extension. Set at attach; empty when the relay's own path is not known. A plain array for
// the same reason as log_path.
char real_path[module_path_capacity + 5];

// idle: no real module (before the first load, after the unload, or when it could not be
// loaded). loading: one thread is loading it. relaying: loaded, with all three exports.
// unloading: its unload has been called; it is about to be released.
enum : int { idle, loading, relaying, unloading };
std::atomic<int> state{idle};
// Calls that may be inside the real module's code.
std::atomic<int> in_flight{0};

// Written by the thread that loads the real module before it publishes relaying, read only
// by calls that saw relaying (so the state's order is all they need). Atomic all the same: a
// call that saw relaying just before an unload may read them while a new load writes them.
void* real_module = nullptr;
std::atomic<load_function> real_load{nullptr};
std::atomic<request_function> real_request{nullptr};
std::atomic<unload_function> real_unload{nullptr};

// How long a load waits for another thread that is loading the real module.
constexpr std::uint64_t longest_load_wait_us = 5000000;

// Whether the call may use the real module; if so, it is counted until leave().
bool enter() noexcept {
    in_flight.fetch_add(1);
    if (state.load() == relaying) {
        return true;
    }
    in_flight.fetch_sub(1);
    return false;
}

void leave() noexcept {
    in_flight.fetch_sub(1);
}

// "relay() " and the parts, then the closing empty line. Line breaks in the parts (a system
// message ends in one) become blanks: a note is one line, so it can never be taken for two
// entries.
void note(std::initializer_list<std::string_view> parts) noexcept {
    try {
        std::string entry = "relay() ";
        for (const std::string_view part : parts) {
            entry.append(part);
        }
        for (char& c : entry) {
            c = c == '\r' || c == '\n' ? ' ' : c;
        }
        while (entry.back() == ' ') {
            entry.pop_back();
        }
        entry.append("\r\n\r\n");
        write_log(entry);
    } catch (...) {
        // Out of memory: the note is lost, like any entry that cannot be written.
    }
}

// Loads the real module and finds its exports; false, with a note saying why, when it
// cannot be relayed to.
bool open_real_module() noexcept {
    if (real_path[0] == '\0') {
        note({"not relaying: the relay's own path is not known, or is too long"});
        return false;
    }
    char why[512];
    void* module = prim::module_load(real_path, why, sizeof why);
    if (module == nullptr) {
        note({"not relaying: cannot load ", real_path, ": ", why});
        return false;
    }
    const auto found_load = reinterpret_cast<load_function>(prim::module_export(module, "load"));
    const auto found_request =
        reinterpret_cast<request_function>(prim::module_export(module, "request"));
    const auto found_unload =
        reinterpret_cast<unload_function>(prim::module_export(module, "unload"));
    std::string missing;
    try {
        for (const auto& [name, found] :
             {std::pair<const char*, bool>{"load", found_load != nullptr},
              {"request", found_request != nullptr},
              {"unload", found_unload != nullptr}}) {
            missing += found ? "" : (missing.empty() ? "" : ", ") + std::string(name);
        }
    } catch (...) {
        missing = "all it should";
    }
    if (!missing.empty()) {
        note({"not relaying: ", real_path, " does not export ", missing});
    } else if (found_load == &::load) {
        // A link to the relay's own file: relaying to it would call itself for ever.
        note({"not relaying: ", real_path, " is this relay itself"});
    } else {
        real_module = module;
        real_load.store(found_load, std::memory_order_relaxed);
        real_request.store(found_request, std::memory_order_relaxed);
        real_unload.store(found_unload, std::memory_order_relaxed);
        return true;
    }
    prim::module_release(module);
    return false;
}

// Waits, for a while, until no thread is loading the real module any more.
bool wait_while_loading() noexcept {
    const std::uint64_t started = prim::monotonic_microseconds();
    while (state.load() == loading) {
        if (prim::monotonic_microseconds() - started > longest_load_wait_us) {
            return false;
        }
        prim::pause();
    }
    return true;
}

// The reply entry, in one append: its first line (see capture_log.h), the N bytes of the reply
// up to L, the block's end and its first NUL, and the closing empty line. The request's entry,
// when there is one, is told by where it ends in the log (at), its size and its CRC-32, so that
// the pair holds in a log that was cut or joined since.
void log_reply(bool logged, std::uint64_t at, std::size_t request_size, std::uint32_t request_crc,
               std::uint64_t micros, const long* length, const void* reply) noexcept {
    capture::reply says{};
    says.paired = logged;
    says.request_end = at;
    says.identified = logged;
    says.request_size = request_size;
    says.request_crc = request_crc;
    says.microseconds = micros;
    says.has_length = length != nullptr;
    says.length = length != nullptr ? *length : 0;
    says.block = reply != nullptr;
    const char* bytes = static_cast<const char*>(reply);
    const std::size_t n =
        reply == nullptr
            ? 0
            : text_length(bytes, readable_bytes(reply, length != nullptr ? *length : LONG_MAX));
    // Replies are mostly small: those are assembled on the stack.
    char small[4096];
    static_assert(sizeof small >= capture::reply_line_capacity + 4);
    const std::size_t h = capture::format_reply_line(small, says, n);
    const std::size_t total = h + (reply == nullptr ? 2 : n + 4);
    char* entry = small;
    if (total > sizeof small) {
        entry = static_cast<char*>(std::malloc(total));
        if (entry == nullptr) {
            return;  // out of memory: the entry is lost, silently
        }
        std::memcpy(entry, small, h);
    }
    if (reply != nullptr && n > 0) {
        std::memcpy(entry + h, bytes, n);
    }
    std::memcpy(entry + total - (reply == nullptr ? 2 : 4), "\r\n\r\n", reply == nullptr ? 2 : 4);
    write_log_bytes(entry, total);
    if (entry != small) {
        std::free(entry);
    }
}

// Whether a part of the relay's name, from its dot on, is ".pilro" (in any case, as Windows
// names files).
bool is_marker(std::string_view part) noexcept {
    constexpr std::string_view marker = ".pilro";
    if (part.size() != marker.size()) {
        return false;
    }
    for (std::size_t i = 0; i < marker.size(); ++i) {
        const char c = part[i] >= 'A' && part[i] <= 'Z' ? static_cast<char>(part[i] + 32) : part[i];
        if (c != marker[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

// The relay's notifications from the loader: the log and the real module lie beside the
// relay's own file, named after it.
void module_attached(void* module) {
    char path[module_path_capacity];
    const std::size_t n = prim::module_file_path(module, path, sizeof path);
    if (n > 0) {
        try {
            const std::string_view own(path, n);
            const std::size_t start = n >= 2 && path[1] == ':' ? 2 : 0;
            const std::size_t name_start =
                directory_end(own, start, prim::is_lead_byte, prim::backslash_separates);
            // The name's last two dots, leaving out trail bytes and a dot that starts the name.
            std::size_t last = n;
            std::size_t before_last = n;
            for (std::size_t i = name_start; i < n; ++i) {
                if (prim::is_lead_byte(static_cast<unsigned char>(path[i]))) {
                    ++i;
                } else if (path[i] == '.' && i > name_start) {
                    before_last = last;
                    last = i;
                }
            }
            const std::string_view extension = own.substr(last);
            // foo.pilro.dll stands beside foo.dll, foo.pilro beside foo; foo.dll stands in
            // foo.orig.dll's place.
            std::string base;
            std::string real_name;
            if (is_marker(own.substr(before_last, last - before_last))) {
                base = own.substr(name_start, before_last - name_start);
                real_name = base + std::string(extension);
            } else if (is_marker(extension)) {
                base = real_name = own.substr(name_start, last - name_start);
            } else {
                base = own.substr(name_start, last - name_start);
                real_name = base + ".orig" + std::string(extension);
            }
            set_log_file(log_path_beside(own, prim::is_lead_byte, prim::backslash_separates,
                                         base + std::string(relay_log_suffix)));
            const std::string real =
                log_path_beside(own, prim::is_lead_byte, prim::backslash_separates, real_name);
            if (real.size() < sizeof real_path) {
                std::memcpy(real_path, real.c_str(), real.size() + 1);
            }
        } catch (...) {
            // Out of memory for the paths: no log and no real module, but the relay still
            // attaches; an exception leaving the loader's callback would end the host.
        }
    }
    write_log("DllMain(Attach)\r\n\r\n");
}

// The real module is never released here: on Windows the loader's lock is held, and when
// the process ends its threads may still be inside it. A host that releases the relay
// without calling unload leaves the real module loaded.
void module_detached() {
    on_process_detach();
}

}  // namespace pilro

extern "C" {

int PILRO_CDECL load(void* block, long length) {
    using namespace pilro;
    log_load(block, length);
    int seen = state.load();
    if (seen == idle && state.compare_exchange_strong(seen, loading)) {
        state.store(open_real_module() ? relaying : idle);
    } else if (seen == loading && !wait_while_loading()) {
        note({"not relaying this load: another thread is still loading ", real_path});
    }
    if (enter()) {
        // The block is the real module's now, to free as any module does.
        const int result = real_load.load(std::memory_order_relaxed)(block, length);
        leave();
        return result;
    }
    prim::block_free(block);
    return 1;
}

void* PILRO_CDECL request(void* block, long* length) {
    using namespace pilro;
    if (!enter()) {
        return handle_request(block, length, prim::block_alloc);
    }
    // Logged before the real module is called, so that a request that makes it crash or
    // hang is in the log. The real module then gets the host's own block and length: exactly
    // the host's bytes. The relay reads no further than the block goes.
    const char* text = static_cast<const char*>(block);
    const std::size_t n = text_length(text, readable_bytes(block, length != nullptr ? *length : 0));
    std::uint64_t at = 0;
    // An empty request leaves no entry, and its end would be some other entry's.
    const bool logged = write_log_bytes_at(text, n, at) && n > 0;
    // The real module frees the block: what the reply entry tells of the request is had now.
    const std::uint32_t crc = logged ? capture::crc32(std::string_view(text, n)) : 0;
    const std::uint64_t started = prim::monotonic_microseconds();
    void* reply = real_request.load(std::memory_order_relaxed)(block, length);
    const std::uint64_t took = prim::monotonic_microseconds() - started;
    leave();
    // The reply block goes to the host as it is; it is only read here.
    log_reply(logged, at, n, crc, took, length, reply);
    return reply;
}

int PILRO_CDECL unload(void) {
    using namespace pilro;
    write_log("unload()\r\n\r\n");
    int expected = relaying;
    if (!state.compare_exchange_strong(expected, unloading)) {
        return 1;
    }
    // From here on new calls are answered as pilro answers them.
    const int result = real_unload.load(std::memory_order_relaxed)();
    // A call still inside the real module would come back to code that is gone: then it
    // stays loaded for good.
    if (in_flight.load() == 0) {
        prim::module_release(real_module);
    }
    real_module = nullptr;
    state.store(idle);
    return result;
}
}
