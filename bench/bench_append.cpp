// pilro_bench_append: one writer of the contended benchmark. scripts/bench starts several at
// once on one module file and times them from outside, where the CPU time of every writer
// (and, under Wine, of the Wine server that carries their file calls) can be read.
//
// Usage: pilro_bench_append MODULE COUNT [THREADS]
//   Loads MODULE as a host does, sends COUNT typical EXECUTE requests from each of THREADS
//   threads (1 by default) at once, releases it. Exits with 1 if a reply is wrong.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/host.h"
#include "support/texts.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fputs("usage: pilro_bench_append MODULE COUNT [THREADS]\n", stderr);
        return 2;
    }
    const pilro::bench::loaded_module module(argv[1]);
    if (!module.ok()) {
        std::fprintf(stderr, "pilro_bench_append: %s: %s\n", argv[1], module.error().c_str());
        return 1;
    }
    const long count = std::strtol(argv[2], nullptr, 10);
    const long threads = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 1;
    const std::string text = pilro::bench::execute_request();
    std::atomic<long> wrong{0};
    pilro::bench::load_with(module.exports(), "bench");
    const auto send_all = [&] {
        for (long i = 0; i < count; ++i) {
            const long length = pilro::bench::round_trip(module.exports(), text);
            wrong += length == static_cast<long>(pilro::bench::reply_no_content.size()) ? 0 : 1;
        }
    };
    std::vector<std::thread> others;
    for (long t = 1; t < threads; ++t) {
        others.emplace_back(send_all);
    }
    send_all();
    for (std::thread& other : others) {
        other.join();
    }
    module.exports().unload();
    if (wrong > 0) {
        std::fprintf(stderr, "pilro_bench_append: %ld wrong replies\n", wrong.load());
        return 1;
    }
    return 0;
}
