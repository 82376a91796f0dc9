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
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "../calllog/calllog.h"
#include "../forward/forward.h"
#include "../module/exports.h"
#include "../module/lifecycle.h"
#include "../module/stand_in.h"
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
// Null where the real module has no loadu.
std::atomic<load_function> real_loadu{nullptr};
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

void note(std::initializer_list<std::string_view> parts) noexcept {
    pilro::note("relay() ", parts);
}

// Loads the real module and finds its exports; false, with a note saying why, when it
// cannot be relayed to. utf8: the host called loadu rather than load, which the real module
// must have then (and need not have otherwise).
bool open_real_module(bool utf8) noexcept {
    if (real_path[0] == '\0') {
        note({"not relaying: the relay's own path is not known, or is too long"});
        return false;
    }
    char why[512];
    void* module = prim::module_load(real_path, why, sizeof why);
    if (module == nullptr) {
        note({"not relaying: cannot load ", utf8_text(real_path), ": ", why});
        return false;
    }
    const auto found_load = reinterpret_cast<load_function>(prim::module_export(module, "load"));
    const auto found_loadu = reinterpret_cast<load_function>(prim::module_export(module, "loadu"));
    const auto found_request =
        reinterpret_cast<request_function>(prim::module_export(module, "request"));
    const auto found_unload =
        reinterpret_cast<unload_function>(prim::module_export(module, "unload"));
    std::string missing;
    try {
        for (const auto& [name, found] :
             {std::pair<const char*, bool>{utf8 ? "loadu" : "load",
                                           (utf8 ? found_loadu : found_load) != nullptr},
              {"request", found_request != nullptr},
              {"unload", found_unload != nullptr}}) {
            missing += found ? "" : (missing.empty() ? "" : ", ") + std::string(name);
        }
    } catch (...) {
        missing = "all it should";
    }
    if (!missing.empty()) {
        note({"not relaying: ", utf8_text(real_path), " does not export ", missing});
    } else if (found_load == &::load || found_loadu == &::loadu) {
        // A link to the relay's own file: relaying to it would call itself for ever.
        note({"not relaying: ", utf8_text(real_path), " is this relay itself"});
    } else {
        real_module = module;
        real_load.store(found_load, std::memory_order_relaxed);
        real_loadu.store(found_loadu, std::memory_order_relaxed);
        real_request.store(found_request, std::memory_order_relaxed);
        real_unload.store(found_unload, std::memory_order_relaxed);
        return true;
    }
    prim::module_release(module);
    return false;
}

// The log and the real module lie beside the relay's own file, named after it.
std::string relay_stem(std::string_view own, const file_name_parts& parts) {
    const std::string_view extension = own.substr(parts.last_dot);
    // foo.pilro.dll stands beside foo.dll, foo.pilro beside foo; foo.dll stands in
    // foo.orig.dll's place.
    std::string base;
    std::string real_name;
    if (is_marker(own.substr(parts.dot_before, parts.last_dot - parts.dot_before))) {
        base = own.substr(parts.name, parts.dot_before - parts.name);
        real_name = base + std::string(extension);
    } else if (is_marker(extension)) {
        base = real_name = own.substr(parts.name, parts.last_dot - parts.name);
    } else {
        base = own.substr(parts.name, parts.last_dot - parts.name);
        real_name = base + ".orig" + std::string(extension);
    }
    path_beside(own, real_name, real_path, sizeof real_path);
    return base;
}

}  // namespace

// The relay's notifications from the loader.
void module_attached(void* module) {
    attach_named(module, relay_stem);
    forward::attached(module, real_path, "relay() ");
}

// The real module is never released here: on Windows the loader's lock is held, and when
// the process ends its threads may still be inside it. A host that releases the relay
// without calling unload leaves the real module loaded. (The reference that the exports
// pilro-place added hold is another matter: see forward.h.)
void module_detached(bool process_ending) {
    on_process_detach();
    forward::detached(process_ending);
}

}  // namespace pilro

namespace pilro {
namespace {

// load and loadu: the entry, then the real module's load (or loadu) where it can be had.
int start_relaying(void* block, long length, bool utf8) noexcept {
    log_load(block, length, utf8 ? loadu_entry_start : "load() ");
    int seen = state.load();
    if (seen == idle && state.compare_exchange_strong(seen, loading)) {
        state.store(open_real_module(utf8) ? relaying : idle);
    } else if (seen == loading && !wait_while(state, loading, longest_load_wait_us)) {
        note({"not relaying this load: another thread is still loading ", utf8_text(real_path)});
    }
    if (enter()) {
        const load_function real = (utf8 ? real_loadu : real_load).load(std::memory_order_relaxed);
        if (real != nullptr) {
            // The block is the real module's now, to free as any module does.
            const int result = real(block, length);
            leave();
            return result;
        }
        leave();
        note({"not relaying this load: ", utf8_text(real_path), " does not export ",
              utf8 ? "loadu" : "load"});
    }
    prim::block_free(block);
    return 1;
}

}  // namespace
}  // namespace pilro

extern "C" {

int PILRO_CDECL load(void* block, long length) {
    return pilro::start_relaying(block, length, false);
}

// Not in the relay's own export table: pilro-place gives it that name where the real module
// has it.
int PILRO_CDECL loadu(void* block, long length) {
    return pilro::start_relaying(block, length, true);
}

void* PILRO_CDECL request(void* block, long* length) {
    using namespace pilro;
    if (!enter()) {
        return handle_request(block, length, prim::block_alloc);
    }
    // Logged before the real module is called, so that a request that makes it crash or
    // hang is in the log. The real module then gets the host's own block and length: exactly
    // the host's bytes. The relay reads no further than the block goes. The real module frees
    // the block: what the reply entry tells of the request is had now.
    const request_entry logged = log_request(block, length);
    const std::uint64_t started = prim::monotonic_microseconds();
    void* reply = real_request.load(std::memory_order_relaxed)(block, length);
    const std::uint64_t took = prim::monotonic_microseconds() - started;
    leave();
    // The reply block goes to the host as it is; it is only read here.
    log_reply(logged, took, length, reply);
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
