// A host that keeps the module busy: one of several processes appending to the same log
// through the same module file at once, or a host that ends while its threads are inside the
// module.
//
//   stress_child MODULE ID COUNT           load the module, send COUNT requests, release it
//   stress_child --verify LOG PROCESSES COUNT
//                                           check that the log holds every process's entries,
//                                           each whole and each process's in order
//   stress_child --end-busy MODULE DIR MS  in DIR as the current directory: load the module,
//                                           start two threads that send requests (64 B and
//                                           64 KiB) without pause, and after MS ms end the
//                                           process by returning from main, as hosts do
//   stress_child --bare FILE SIZE          without any module: write a request of SIZE bytes
//                                           from a host's block to FILE, remove it, end
//   stress_child --frozen-holder MODULE DIR SIZE
//                                           in DIR: start a thread that sends a request of SIZE
//                                           bytes, stop it for good inside the module (while
//                                           the log is held, for a small request), then send
//                                           one more request and end the process; prints how
//                                           long that request took
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "file_trouble.h"
#include "module/exports.h"
#include "platform/platform.h"
#include "prim/prim.h"
#include "test_os.h"

namespace {

using pilro::load_function;
using pilro::request_function;
using pilro::unload_function;
using pilro::test::host_block;

std::string request_text(const std::string& id, int k) {
    return "EXECUTE SAORI/1.0\r\nSender: stress " + id + "\r\nArgument0: " + std::to_string(k) +
           "\r\n\r\n";
}

struct entry_points {
    void* library = nullptr;
    load_function load = nullptr;
    request_function request = nullptr;
    unload_function unload = nullptr;
};

entry_points open_module(const char* module) {
    entry_points found;
    std::string error;
    found.library = pilro::platform::library_open(module, error);
    if (found.library == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", module, error.c_str());
        std::exit(1);
    }
    found.load =
        reinterpret_cast<load_function>(pilro::platform::library_symbol(found.library, "load"));
    found.request = reinterpret_cast<request_function>(
        pilro::platform::library_symbol(found.library, "request"));
    found.unload =
        reinterpret_cast<unload_function>(pilro::platform::library_symbol(found.library, "unload"));
    if (found.load == nullptr || found.request == nullptr || found.unload == nullptr) {
        std::fprintf(stderr, "%s lacks an export\n", module);
        std::exit(1);
    }
    return found;
}

// Sends text and frees the reply, as a host does.
void send(request_function request, const std::string& text) {
    long length = static_cast<long>(text.size());
    pilro::prim::block_free(request(host_block(text), &length));
}

// An EXECUTE of exactly size bytes.
std::string request_of_size(std::size_t size, const char* sender) {
    std::string text = std::string("EXECUTE SAORI/1.0\r\nSender: ") + sender + "\r\nArgument0: ";
    text.append(size > text.size() + 4 ? size - text.size() - 4 : 0, 'x');
    return text + "\r\n\r\n";
}

int run(const char* module, const std::string& id, int count) {
    const entry_points module_file = open_module(module);
    int failures = 0;
    const std::string data = "stress " + id;
    module_file.load(host_block(data), static_cast<long>(data.size()));
    for (int k = 0; k < count; ++k) {
        const std::string text = request_text(id, k);
        long length = static_cast<long>(text.size());
        void* reply = module_file.request(host_block(text), &length);
        if (reply == nullptr || length != 28 ||
            std::strcmp(static_cast<const char*>(reply), "SAORI/1.0 204 No Content\r\n\r\n") != 0) {
            ++failures;
        }
        pilro::prim::block_free(reply);
    }
    module_file.unload();
    pilro::platform::library_close(module_file.library);
    if (failures > 0) {
        std::fprintf(stderr, "process %s: %d wrong replies\n", id.c_str(), failures);
    }
    return failures == 0 ? 0 : 1;
}

int verify(const std::string& log_file, int processes, int count) {
    const std::string log = pilro::test::read_file(log_file);
    std::map<std::string, int> seen;  // entry kind -> how many
    std::map<std::string, int> next;  // process id -> next request number expected
    std::vector<std::string> problems;
    std::size_t entries = 0;
    for (std::size_t at = 0; at < log.size();) {
        const std::size_t end = log.find("\r\n\r\n", at);
        if (end == std::string::npos) {
            problems.push_back("torn entry at byte " + std::to_string(at));
            break;
        }
        const std::string entry = log.substr(at, end + 4 - at);
        at = end + 4;
        ++entries;
        const std::string prefix = "EXECUTE SAORI/1.0\r\nSender: stress ";
        if (entry.compare(0, prefix.size(), prefix) == 0) {
            const std::size_t id_end = entry.find("\r\n", prefix.size());
            const std::string id = entry.substr(prefix.size(), id_end - prefix.size());
            if (entry != request_text(id, next[id])) {
                problems.push_back("process " + id + ": expected request " +
                                   std::to_string(next[id]) + ", found entry " +
                                   std::to_string(entries));
            }
            ++next[id];
            ++seen["request"];
        } else if (entry == "DllMain(Attach)\r\n\r\n") {
            ++seen["attach"];
        } else if (entry == "DllMain(Detach)\r\n\r\n") {
            ++seen["detach"];
        } else if (entry == "unload()\r\n\r\n") {
            ++seen["unload"];
        } else if (entry.compare(0, 14, "load() stress ") == 0) {
            ++seen["load"];
        } else {
            problems.push_back("foreign or mixed entry " + std::to_string(entries));
        }
    }
    const int requests = seen["request"];
    std::printf("%zu entries: %d of %d requests, %d attach, %d load, %d unload, %d detach\n",
                entries, requests, processes * count, seen["attach"], seen["load"], seen["unload"],
                seen["detach"]);
    if (requests != processes * count || seen["attach"] != processes || seen["load"] != processes ||
        seen["unload"] != processes || seen["detach"] != processes) {
        problems.push_back("entries lost");
    }
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "%s\n", problem.c_str());
    }
    return problems.empty() ? 0 : 1;
}

void enter_directory(const char* directory) {
    if (!pilro::test::change_directory(directory)) {
        std::fprintf(stderr, "cannot enter %s\n", directory);
        std::exit(1);
    }
}

int end_busy(const char* module, const char* directory, int ms) {
    enter_directory(directory);
    const entry_points module_file = open_module(module);
    module_file.load(host_block("busy"), 4);
    for (const std::size_t size : {std::size_t{64}, std::size_t{64} << 10}) {
        std::thread([request = module_file.request, text = request_of_size(size, "busy")] {
            for (;;) {
                send(request, text);
            }
        }).detach();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return 0;
}

// What a host of the process-end tests does, less the module: how long that takes tells how
// fast this machine is just now.
int bare(const char* file, std::size_t size) {
    const std::string text = request_of_size(size, "bare");
    void* block = host_block(text);
    const bool written =
        pilro::test::write_file(file, std::string(static_cast<const char*>(block), text.size()));
    pilro::prim::block_free(block);
    pilro::files::remove_file(file);
    return written ? 0 : 1;
}

struct frozen_request {
    request_function request;
    void* block;
    long length;
    std::atomic<bool> calling{false};
};

// Small requests find the log held, so that the thread is stopped while it waits for it; a
// large one is stopped once its entry has begun to reach the file, while it has the log open.
int frozen_holder(const char* module, const char* directory, std::size_t size) {
    enter_directory(directory);
    const entry_points module_file = open_module(module);
    const std::string path = module;
    const std::string log = path.substr(0, path.find_last_of("/\\") + 1) + "pilro.txt";
    const bool in_wait = size < (1u << 20);
    void* held = in_wait ? pilro::test::hold_exclusively(log) : nullptr;
    const std::int64_t size_before = pilro::files::file_size(log);

    const std::string text = request_of_size(size, "frozen");
    frozen_request stopped{module_file.request, host_block(text), static_cast<long>(text.size())};
    void* thread = pilro::test::start_thread(
        [](void* argument) {
            auto* what = static_cast<frozen_request*>(argument);
            what->calling = true;
            pilro::prim::block_free(what->request(what->block, &what->length));
            // Alive until it is stopped, wherever the request had got to by then.
            for (;;) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
        },
        &stopped);
    if (thread == nullptr) {
        std::fprintf(stderr, "cannot start a thread\n");
        return 1;
    }
    while (!stopped.calling) {
        std::this_thread::yield();
    }
    if (in_wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pilro::files::file_size(log) == size_before &&
               std::chrono::steady_clock::now() < give_up) {
            std::this_thread::yield();
        }
    }
    pilro::test::freeze_thread(thread);
    pilro::test::release(held);

    const auto started = std::chrono::steady_clock::now();
    send(module_file.request, request_of_size(64, "after"));
    const auto took = std::chrono::steady_clock::now() - started;
    std::printf("%lld\n", static_cast<long long>(
                              std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--verify") == 0) {
        return verify(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (argc == 5 && std::strcmp(argv[1], "--end-busy") == 0) {
        return end_busy(argv[2], argv[3], std::atoi(argv[4]));
    }
    if (argc == 5 && std::strcmp(argv[1], "--frozen-holder") == 0) {
        return frozen_holder(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
    }
    if (argc == 4 && std::strcmp(argv[1], "--bare") == 0) {
        return bare(argv[2], std::strtoul(argv[3], nullptr, 10));
    }
    if (argc == 4) {
        return run(argv[1], argv[2], std::atoi(argv[3]));
    }
    std::fprintf(stderr,
                 "usage: stress_child MODULE ID COUNT | --verify LOG PROCESSES COUNT |\n"
                 "       --bare FILE SIZE |\n"
                 "       --end-busy MODULE DIR MS | --frozen-holder MODULE DIR SIZE\n");
    return 2;
}
