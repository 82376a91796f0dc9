// One of several processes appending to the same log through the same module file at once.
//
//   stress_child MODULE ID COUNT           load the module, send COUNT requests, release it
//   stress_child --verify LOG PROCESSES COUNT
//                                           check that the log holds every process's entries,
//                                           each whole and each process's in order
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

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

int run(const char* module, const std::string& id, int count) {
    std::string error;
    void* library = pilro::platform::library_open(module, error);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", module, error.c_str());
        return 1;
    }
    const auto load =
        reinterpret_cast<load_function>(pilro::platform::library_symbol(library, "load"));
    const auto request =
        reinterpret_cast<request_function>(pilro::platform::library_symbol(library, "request"));
    const auto unload =
        reinterpret_cast<unload_function>(pilro::platform::library_symbol(library, "unload"));
    int failures = 0;
    const std::string data = "stress " + id;
    load(host_block(data), static_cast<long>(data.size()));
    for (int k = 0; k < count; ++k) {
        const std::string text = request_text(id, k);
        long length = static_cast<long>(text.size());
        void* reply = request(host_block(text), &length);
        if (reply == nullptr || length != 28 ||
            std::strcmp(static_cast<const char*>(reply), "SAORI/1.0 204 No Content\r\n\r\n") != 0) {
            ++failures;
        }
        pilro::prim::block_free(reply);
    }
    unload();
    pilro::platform::library_close(library);
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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--verify") == 0) {
        return verify(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (argc == 4) {
        return run(argv[1], argv[2], std::atoi(argv[3]));
    }
    std::fprintf(stderr, "usage: stress_child MODULE ID COUNT | --verify LOG PROCESSES COUNT\n");
    return 2;
}
