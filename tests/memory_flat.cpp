// Memory and file descriptors stay flat over 100,000 requests: first through the exports
// linked in, then through the built module loaded as a host loads it, then across repeated
// loads and releases of the module. A leak of one small block per request would show here as
// more than a megabyte.
//
// Not a unit test, and not timed: scripts/harden also runs it under valgrind (memcheck), which
// sees what these counters cannot, such as blocks lost when the module is released.
//
//   memory_flat [--requests N] [--reloads N] [--log-every N]
//
// --log-every: in-process, every Nth request (and every load and unload) is logged to a
// scratch file and the rest go with the log path empty; the loaded module logs every call
// beside itself, as it always does.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "calllog/calllog.h"
#include "module/exports.h"
#include "platform/platform.h"
#include "prim/prim.h"
#include "test_os.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <dirent.h>
#endif

namespace {

// Bytes the allocator holds for the program. glibc counts the blocks parked in its per-thread
// cache as in use, so two readings compare only at the same point of the same call pattern.
// Returns -1 where there is no way to tell.
long long heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#elif defined(__GLIBC__)
    const struct mallinfo2 info = mallinfo2();
    const auto bytes = static_cast<long long>(info.uordblks + info.hblkhd);
    // Nothing at all in use: another allocator (valgrind's) has taken glibc's place.
    return bytes == 0 ? -1 : bytes;
#else
    return -1;
#endif
}

// Under AddressSanitizer every load and release of a library that needs the C++ runtime
// leaves about a hundred bytes behind in the loader's bookkeeping, with any library, however
// empty; a glibc build shows the module's own share, which is nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool reload_heap_counts = false;
#else
constexpr bool reload_heap_counts = true;
#endif

long long open_descriptors() {
#if defined(__linux__)
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    long long n = 0;
    while (readdir(dir) != nullptr) {
        ++n;
    }
    closedir(dir);
    return n;
#else
    return -1;
#endif
}

const std::string ok = "SAORI/1.0 200 OK\r\n\r\n";
const std::string no_content = "SAORI/1.0 204 No Content\r\n\r\n";
const std::string bad = "SAORI/1.0 400 Bad Request\r\n\r\n";

enum class length_form { exact, past_end, negative, null_block, null_pointer };

std::string execute_of_size(std::size_t size) {
    std::string text = "EXECUTE SAORI/1.0\r\nArgument0: ";
    text.append(size - text.size() - 4, 'x');
    return text + "\r\n\r\n";
}

struct exchange {
    std::string text;
    length_form form;
    const std::string* reply;
};

// What hosts send, well-formed or not, and the host mistakes the module contains.
const std::vector<exchange>& exchanges() {
    static const std::vector<exchange> all = {
        {"GET Version SAORI/1.0\r\nCharset: Shift_JIS\r\nSender: X\r\n\r\n", length_form::exact,
         &ok},
        {"EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\nSender: X\r\nSecurityLevel: local\r\n"
         "Argument0: \x95\x5C\x8E\xA6\r\nArgument1: caf\xC3\xA9\r\nArgument2: \r\n\r\n",
         length_form::exact, &no_content},
        {"NOTIFY SAORI/1.0\r\nSender: X\r\n\r\n", length_form::exact, &bad},
        {"GET Version\r\nSender: X\r\n\r\n", length_form::exact, &bad},
        {std::string("EXECUTE SAORI/1.0\r\n\r\n\0GET Version SAORI/1.0\r\n\r\n", 46),
         length_form::exact, &no_content},
        {"", length_form::exact, &bad},
        {"EXECUTE SAORI/1.0\r\n\r\n", length_form::past_end, &no_content},
        {"GET Version SAORI/1.0\r\n\r\n", length_form::negative, &bad},
        {"", length_form::null_block, &bad},
        {"GET Version SAORI/1.0\r\n\r\n", length_form::null_pointer, &bad},
        // Either side of the largest request that is copied to the stack rather than the heap.
        {execute_of_size(4095), length_form::exact, &no_content},
        {execute_of_size(4096), length_form::exact, &no_content},
        {execute_of_size(4097), length_form::exact, &no_content},
    };
    return all;
}

// Sent once every thousand requests: its private copy is large enough for the allocator to
// map it on its own.
const exchange& large_exchange() {
    static const exchange large{execute_of_size(std::size_t{2} << 20), length_form::exact,
                                &no_content};
    return large;
}

using pilro::load_function;
using pilro::request_function;
using pilro::unload_function;

struct entry_points {
    load_function load;
    request_function request;
    unload_function unload;
};

void* host_block(const std::string& bytes) {
    void* block = pilro::test::host_block(bytes);
    if (block == nullptr) {
        std::fputs("memory_flat: out of memory for a host block\n", stderr);
        std::exit(2);
    }
    return block;
}

// One request as a host makes it; false if the reply is wrong. The reply block is freed.
bool send(const entry_points& module, const exchange& e) {
    long length = static_cast<long>(e.text.size());
    void* block = nullptr;
    switch (e.form) {
        case length_form::exact:
            block = host_block(e.text);
            break;
        case length_form::past_end:
            block = host_block(e.text);
            length += 1000;
            break;
        case length_form::negative:
            block = host_block(e.text);
            length = -length;
            break;
        case length_form::null_block:
            length = 64;
            break;
        case length_form::null_pointer:
            block = host_block(e.text);
            break;
    }
    void* reply = module.request(block, e.form == length_form::null_pointer ? nullptr : &length);
    if (reply == nullptr) {
        return false;
    }
    const char* bytes = static_cast<const char*>(reply);
    const bool right = e.form == length_form::null_pointer
                           ? std::strcmp(bytes, e.reply->c_str()) == 0
                           : std::string(bytes, static_cast<std::size_t>(length)) == *e.reply &&
                                 bytes[length] == '\0';
    pilro::prim::block_free(reply);
    return right;
}

struct reading {
    long long heap;
    long long descriptors;
};

reading read_counters() {
    const long long heap = heap_in_use();
    return {heap, open_descriptors()};
}

// Runs requests round the exchanges; every tenth of the way (at the same point of the round)
// reads the counters, which must all equal the reading taken before. set_logging, if given,
// chooses per call whether the call is logged.
bool run_flat(const char* label, const entry_points& module, long requests,
              void (*set_logging)(long call)) {
    const std::vector<exchange>& all = exchanges();
    const long round = static_cast<long>(all.size());
    const long checkpoint = requests / 10 / round * round;
    std::vector<reading> readings;
    readings.reserve(11);
    // Warm-up, the same calls as below: the first of them fill caches that are not leaks.
    for (long i = 0; i < 10 * round; ++i) {
        if (set_logging != nullptr) {
            set_logging(i);
        }
        if (i % round == 0) {
            module.load(host_block("C:\\agent\\saori\\"), 15);
            module.unload();
            send(module, large_exchange());
        }
        send(module, all[static_cast<std::size_t>(i % round)]);
    }
    const reading before = read_counters();
    long wrong = 0;
    for (long i = 0; i < requests; ++i) {
        if (set_logging != nullptr) {
            set_logging(i);
        }
        if (i % 1000 == 0) {
            module.load(host_block("C:\\agent\\saori\\"), 15);
            module.unload();
            if (!send(module, large_exchange())) {
                ++wrong;
            }
        }
        if (!send(module, all[static_cast<std::size_t>(i % round)])) {
            ++wrong;
        }
        if (checkpoint > 0 && (i + 1) % checkpoint == 0) {
            readings.push_back(read_counters());
        }
    }
    long long heap_drift = 0;
    long long descriptor_drift = 0;
    for (const reading& r : readings) {
        if (std::llabs(r.heap - before.heap) > std::llabs(heap_drift)) {
            heap_drift = r.heap - before.heap;
        }
        if (std::llabs(r.descriptors - before.descriptors) > std::llabs(descriptor_drift)) {
            descriptor_drift = r.descriptors - before.descriptors;
        }
    }
    const reading after = readings.empty() ? before : readings.back();
    std::printf("%s: %ld requests, %ld wrong replies; ", label, requests, wrong);
    if (before.heap < 0) {
        std::printf("heap not read here; ");
    } else {
        std::printf("heap in use %lld bytes before, %lld after, largest drift %+lld; ", before.heap,
                    after.heap, heap_drift);
    }
    std::printf("descriptors %lld before, %lld after\n", before.descriptors, after.descriptors);
    return wrong == 0 && heap_drift == 0 && descriptor_drift == 0;
}

std::string scratch_log;
long log_every = 100;

void log_every_nth(long call) {
    if (call % log_every == 0 || call % 1000 == 0) {
        pilro::set_log_file(scratch_log);
    } else {
        pilro::set_log_file({});
    }
}

bool linked_in(long requests) {
    const std::string directory = pilro::test::fresh_directory("memory_flat_linked");
    scratch_log = directory + pilro::test::separator + "pilro.txt";
    const entry_points module{load, request, unload};
    const bool flat = run_flat("exports linked in", module, requests, log_every_nth);
    pilro::set_log_file({});
    pilro::test::remove_tree(directory);
    return flat;
}

bool resolve(void* library, entry_points& module) {
    module.load = reinterpret_cast<load_function>(pilro::platform::library_symbol(library, "load"));
    module.request =
        reinterpret_cast<request_function>(pilro::platform::library_symbol(library, "request"));
    module.unload =
        reinterpret_cast<unload_function>(pilro::platform::library_symbol(library, "unload"));
    return module.load != nullptr && module.request != nullptr && module.unload != nullptr;
}

void* open_module(const std::string& path) {
    std::string error;
    void* library = pilro::platform::library_open(path.c_str(), error);
    if (library == nullptr) {
        std::fprintf(stderr, "memory_flat: cannot load %s: %s\n", path.c_str(), error.c_str());
    }
    return library;
}

bool loaded(long requests, long reloads) {
    const std::string directory = pilro::test::fresh_directory("memory_flat_loaded");
    const std::string path = directory + pilro::test::separator + "pilro.module";
    if (!pilro::test::copy_file(pilro::test::built_module(), path)) {
        std::fprintf(stderr, "memory_flat: cannot copy the module to %s\n", path.c_str());
        return false;
    }
    void* library = open_module(path);
    entry_points module{};
    if (library == nullptr || !resolve(library, module)) {
        return false;
    }
    bool flat = run_flat("module loaded", module, requests, nullptr);
    pilro::platform::library_close(library);

    // Loading and releasing over and over: the second half of the cycles must end where the
    // first half did.
    reading halfway{};
    for (long cycle = 1; cycle <= reloads; ++cycle) {
        library = open_module(path);
        if (library == nullptr || !resolve(library, module)) {
            return false;
        }
        module.load(host_block("C:\\agent\\saori\\"), 15);
        flat = send(module, exchanges()[1]) && flat;
        module.unload();
        pilro::platform::library_close(library);
        if (cycle == reloads / 2) {
            halfway = read_counters();
        }
    }
    if (reloads >= 2) {
        const reading last = read_counters();
        std::printf("module reloaded: %ld cycles; ", reloads);
        if (last.heap < 0) {
            std::printf("heap not read here; ");
        } else {
            std::printf("heap in use %lld bytes halfway, %lld at the end%s; ", halfway.heap,
                        last.heap,
                        reload_heap_counts ? "" : " (the sanitizer's share, not judged)");
        }
        std::printf("descriptors %lld halfway, %lld at the end\n", halfway.descriptors,
                    last.descriptors);
        flat = flat && last.descriptors == halfway.descriptors &&
               (!reload_heap_counts || last.heap == halfway.heap);
    }
    if (flat) {
        pilro::test::remove_tree(directory);
    }
    return flat;
}

long number_after(int& i, int argc, char** argv) {
    if (i + 1 >= argc) {
        std::fprintf(stderr, "memory_flat: %s needs a number\n", argv[i]);
        std::exit(2);
    }
    return std::strtol(argv[++i], nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
    long requests = 100000;
    long reloads = 200;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--requests") {
            requests = number_after(i, argc, argv);
        } else if (option == "--reloads") {
            reloads = number_after(i, argc, argv);
        } else if (option == "--log-every") {
            log_every = number_after(i, argc, argv);
        } else {
            std::fprintf(stderr,
                         "usage: memory_flat [--requests N] [--reloads N] [--log-every N]\n");
            return 2;
        }
    }
    if (log_every < 1) {
        log_every = 1;
    }
    const bool linked_flat = linked_in(requests);
    const bool loaded_flat = loaded(requests, reloads);
    const std::vector<std::string> kept = pilro::test::finish_scratch(!linked_flat || !loaded_flat);
    if (!linked_flat || !loaded_flat) {
        std::puts("memory_flat: memory or descriptors grew, or a reply was wrong");
        for (const std::string& path : kept) {
            std::printf("memory_flat: its logs are kept in %s\n", path.c_str());
        }
        return 1;
    }
    std::puts("memory_flat: flat");
    return 0;
}
