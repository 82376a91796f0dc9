// The stub: a module file that answers from a capture, so that a host runs where the real
// module cannot. Placed as foo.dll (or as foo.pilro.dll, where the relay stood beside foo.dll),
// it answers each request with the reply that foo.capture.txt beside it holds (a log that the
// relay wrote; see reply_index.h for which reply), and logs to foo.pilro.txt as the relay does:
// pilro's own entries, after each request the reply it gave, with the time it took, and notes.
// A request the capture does not answer gets pilro's answer, or, when it is of another protocol
// than SAORI, that protocol's "NAME/VERSION 204 No Content", and a note that names it; every
// request gets pilro's answer when there is no capture, or it is none, or holds no replies,
// with one note at the load that says which file and why. The header names in
// foo.capture-ignore.txt beside it, where there is one, are left out of the fallback match as
// Sender and SecurityLevel are (see reply_index.h for its form). Both files are read whole in
// the first load, and again in a load after an unload; before the first load and after the
// unload the stub answers exactly as pilro does.
//
// Host threads may call at any time and at once, and the process may end while they are
// inside the stub. So the state is a few atomics and plain arrays that are never destroyed, no
// wait is unbounded, and a capture read in a load is freed only once no call can be inside it;
// until then it is kept.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../calllog/calllog.h"
#include "../forward/forward.h"
#include "../module/exports.h"
#include "../module/lifecycle.h"
#include "../module/stand_in.h"
#include "../prim/prim.h"
#include "reply_index.h"

namespace pilro {
namespace {

// What the capture's name adds to the name of the module the stub stands in for, less its
// extension: foo.dll answers from foo.capture.txt, and so does foo.pilro.dll. The ignore file's
// name likewise.
constexpr std::string_view capture_suffix = ".capture.txt";
constexpr std::string_view ignore_suffix = ".capture-ignore.txt";

// The capture's and the ignore file's full paths, NUL-terminated; empty when the stub's own
// path is not known, or theirs does not fit. Set at attach. Plain arrays for the same reason
// as log_path.
char capture_path[module_path_capacity + capture_suffix.size()];
char ignore_path[module_path_capacity + ignore_suffix.size()];

// The largest ignore file the stub reads: header names, a few to a line.
constexpr std::uint64_t longest_ignore_file = std::uint64_t{1} << 20;

// The largest capture the stub reads. It holds the capture and an index of it, which for a
// relay's log takes well under the capture's size again: twice this fits a 32-bit process's
// 2 GiB beside its host. The same everywhere, so that a capture answers alike on every system.
constexpr std::uint64_t longest_capture = std::uint64_t{512} << 20;

// How long a load waits for another thread that is reading the capture.
constexpr std::uint64_t longest_load_wait_us = 5000000;

// A capture read in a load: its bytes and their index.
struct answers {
    answers(char* read, std::size_t size, std::vector<stub::header_pattern> ignored)
        : bytes(read), index(std::string_view(read, size), std::move(ignored)) {}
    ~answers() { std::free(bytes); }
    answers(const answers&) = delete;
    answers& operator=(const answers&) = delete;

    char* bytes;
    stub::reply_index index;
    // The next of those taken out of use while calls may still be inside them.
    answers* next_retired = nullptr;
};

// idle: not answering from a capture (before the first load, after the unload). loading: one
// thread is reading the capture. loaded: answering, from current when that is set, as pilro
// otherwise. unloading: the unload is taking current out of use. detached: the process is
// done with the stub; whatever still comes is answered as pilro answers it.
enum : int { idle, loading, loaded, unloading, detached };
std::atomic<int> state{idle};
// Calls that may be using current, counted before they read it.
std::atomic<int> in_flight{0};
std::atomic<answers*> current{nullptr};
// Taken out of use while a call may still have been inside them; freed once none is. Touched
// only by the thread that moved state away from idle or loaded.
answers* retired = nullptr;

void note(std::initializer_list<std::string_view> parts) noexcept {
    pilro::note("stub() ", parts);
}

// A call that reads current afterwards counted itself before, and one that has not counted
// itself will find current no longer holding what was retired: no call is inside them.
void free_retired() noexcept {
    if (in_flight.load() != 0) {
        return;
    }
    while (retired != nullptr) {
        answers* next = retired->next_retired;
        delete retired;
        retired = next;
    }
}

void retire(answers* taken) noexcept {
    if (taken != nullptr) {
        taken->next_retired = retired;
        retired = taken;
    }
    free_retired();
}

std::string decimal(std::uint64_t value) {
    return std::to_string(value);
}

// The header names of the ignore file, into ignored; what the load's note says of them (empty
// when there is no ignore file). Throws std::bad_alloc when memory runs out.
std::string ignored_names(std::vector<stub::header_pattern>& ignored) {
    const std::string path{std::string_view(utf8_text(ignore_path))};
    std::uint64_t size = 0;
    char why[512];
    bool missing = false;
    char* bytes =
        prim::read_file(ignore_path, longest_ignore_file, size, why, sizeof why, &missing);
    if (bytes == nullptr) {
        const std::string none = "; the fallback leaves out no other header names: ";
        return missing ? std::string()
               : why[0] != '\0'
                   ? none + "cannot read " + path + ": " + why
                   : none + path + " holds " + decimal(size) + " bytes, more than the " +
                         decimal(longest_ignore_file) + " that the stub reads";
    }
    try {
        ignored = stub::read_ignore_file(std::string_view(bytes, static_cast<std::size_t>(size)));
    } catch (...) {
        std::free(bytes);
        throw;
    }
    std::free(bytes);
    return "; the fallback also leaves out the headers named in " + path + " (" +
           decimal(ignored.size()) + (ignored.size() == 1 ? " name)" : " names)");
}

// The capture read and indexed; null when it answers nothing. Either way a note names the file
// and says why it answers nothing, or how much it answers.
answers* read_capture() noexcept {
    if (capture_path[0] == '\0') {
        note({"not answering from a capture: the stub's own path is not known, or is too long"});
        return nullptr;
    }
    std::uint64_t size = 0;
    char why[512];
    char* bytes = prim::read_file(capture_path, longest_capture, size, why, sizeof why);
    answers* made = nullptr;
    std::string ignoring;
    try {
        if (bytes == nullptr) {
            note({"not answering from a capture: ", why[0] != '\0' ? "cannot read " : "",
                  utf8_text(capture_path),
                  why[0] != '\0' ? ": " + std::string(why)
                                 : " holds " + decimal(size) + " bytes, more than the " +
                                       decimal(longest_capture) + " that the stub reads"});
            return nullptr;
        }
        std::vector<stub::header_pattern> ignored;
        ignoring = ignored_names(ignored);
        made = new answers(bytes, static_cast<std::size_t>(size), std::move(ignored));
    } catch (...) {
        std::free(bytes);
        note({"not answering from a capture: not enough memory for ", utf8_text(capture_path)});
        return nullptr;
    }
    const stub::capture_summary& found = made->index.summary();
    const char* none = size == 0            ? " is empty"
                       : !found.pilro_log   ? " is no capture: it holds no entry of pilro's and no "
                                              "request"
                       : found.replies == 0 ? " holds no replies: capture with the relay"
                                            : nullptr;
    if (none != nullptr) {
        note({"not answering from a capture: ", utf8_text(capture_path), none});
        delete made;
        return nullptr;
    }
    try {
        note({"answering from ", utf8_text(capture_path), ": ", decimal(found.replies),
              " replies to ", decimal(found.requests), " different requests",
              found.damaged > 0 ? "; " + decimal(found.damaged) + " damaged reply entries left out"
                                : std::string(),
              found.cut_short ? "; its last entry is cut short and left out" : "",
              found.overlapping ? "; runs in it were open at once" : "", ignoring});
    } catch (...) {
        // Out of memory for the note's numbers: it is lost, the capture answers all the same.
    }
    return made;
}

// The capture and the ignore file lie beside the stub's own file, named after the module it
// stands in for.
std::string stub_stem(std::string_view own, const file_name_parts& parts) {
    const bool kept_name =
        is_marker(own.substr(parts.dot_before, parts.last_dot - parts.dot_before));
    std::string stem(
        own.substr(parts.name, (kept_name ? parts.dot_before : parts.last_dot) - parts.name));
    path_beside(own, stem + std::string(capture_suffix), capture_path, sizeof capture_path);
    path_beside(own, stem + std::string(ignore_suffix), ignore_path, sizeof ignore_path);
    return stem;
}

}  // namespace

void module_attached(void* module) {
    attach_named(module, stub_stem);
    forward::attached(module, nullptr, "stub() ");
}

// A thread in the middle of a load or an unload (only at the end of a POSIX process, where
// threads go on) keeps what it holds; the process ends with it.
void module_detached(bool process_ending) {
    on_process_detach();
    forward::detached(process_ending);
    int seen = state.load();
    if ((seen == idle || seen == loaded) && state.compare_exchange_strong(seen, detached)) {
        retire(current.exchange(nullptr));
    }
}

}  // namespace pilro

namespace pilro {
namespace {

// load and loadu, after their entries.
int start_answering(void* block) noexcept {
    prim::block_free(block);
    int seen = state.load();
    if (seen == idle && state.compare_exchange_strong(seen, loading)) {
        free_retired();
        current.store(read_capture());
        state.store(loaded);
    } else if (seen == loading && !wait_while(state, loading, longest_load_wait_us)) {
        note({"answering as pilro until another thread has read ", utf8_text(capture_path)});
    }
    return 1;
}

}  // namespace
}  // namespace pilro

extern "C" {

int PILRO_CDECL load(void* block, long length) {
    pilro::log_load(block, length);
    return pilro::start_answering(block);
}

int PILRO_CDECL loadu(void* block, long length) {
    pilro::log_load(block, length, pilro::loadu_entry_start);
    return pilro::start_answering(block);
}

void* PILRO_CDECL request(void* block, long* length) {
    using namespace pilro;
    in_flight.fetch_add(1);
    answers* from = current.load();
    if (from == nullptr) {
        in_flight.fetch_sub(1);
        return handle_request(block, length, prim::block_alloc);
    }
    const request_entry logged = log_request(block, length);
    const std::string_view text(static_cast<const char*>(block), logged.size);
    const std::uint64_t started = prim::monotonic_microseconds();
    const stub::captured_reply* captured = from->index.answer(text);
    // A miss in another protocol than SAORI gets that protocol's "nothing to say".
    const std::string_view protocol =
        captured != nullptr ? std::string_view() : stub::other_protocol(text);
    constexpr std::string_view nothing_to_say = " 204 No Content\r\n\r\n";
    void* reply = captured != nullptr ? stub::reply_block(*captured, length, prim::block_alloc)
                  : !protocol.empty()
                      ? status_reply(protocol, nothing_to_say, length, prim::block_alloc)
                      : pilro_reply(text, length, prim::block_alloc);
    const std::uint64_t took = prim::monotonic_microseconds() - started;
    const bool answered = captured != nullptr;
    // From here on the capture may be freed under this call.
    in_flight.fetch_sub(1);
    log_reply(logged, took, length, reply);
    if (!answered) {
        try {
            note({"no captured reply to the request ",
                  logged.logged ? "that ends at byte " + std::to_string(logged.end) + " of "
                                : "of " + std::to_string(logged.size) + " bytes that is not in ",
                  utf8_text(log_path), ": ",
                  protocol.empty() ? std::string("pilro's answer")
                                   : "answered " + std::string(protocol) + " 204 No Content"});
        } catch (...) {
            // Out of memory for the note: it is lost, like any entry that cannot be written.
        }
    }
    // The protocol's token viewed the host's block until here.
    prim::block_free(block);
    return reply;
}

int PILRO_CDECL unload(void) {
    using namespace pilro;
    write_log("unload()\r\n\r\n");
    int expected = loaded;
    if (state.compare_exchange_strong(expected, unloading)) {
        retire(current.exchange(nullptr));
        state.store(idle);
    }
    return 1;
}
}
