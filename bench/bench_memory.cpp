// pilro_bench_memory: the heap a request takes beyond the host's own block, from the
// typical request to 16 MiB, through the linked exports and through the loaded module file.
// The host's block counts as the host's; whatever else is allocated between the call and its
// return, at its highest point, counts as the request's (the reply block included). Then the
// heap the stub holds for a capture of 100 MiB that it reads at load: at most twice its size,
// at the load's highest point and after it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "calllog/calllog.h"
#include "prim/prim.h"
#include "support/check.h"
#include "support/heap_count.h"
#include "support/host.h"
#include "support/platform.h"
#include "support/texts.h"
#include "support/workbench.h"

namespace {

// Room for the reply's own string and the allocator's bookkeeping that sizes do not show.
constexpr std::int64_t small_constant = 256;

struct usage {
    std::int64_t peak_extra = 0;  // highest heap use during the call, above the host's block
    std::int64_t left = 0;        // what stayed allocated after the call: the reply block
    std::int64_t allocations = 0;
    long reply_length = 0;
};

usage measure(const pilro::bench::entry_points& module, const std::string& text) {
    namespace heap = pilro::bench::heap;
    heap::start();
    void* block = pilro::prim::block_alloc(text.size());
    std::memcpy(block, text.data(), text.size());
    const std::int64_t before = heap::live();
    const std::int64_t allocations_before = heap::allocations();
    heap::reset_peak();
    long length = static_cast<long>(text.size());
    void* reply = module.request(block, &length);
    usage u;
    u.peak_extra = heap::peak() - before;
    // The host's block is gone; what is left is the reply block.
    u.left = heap::live() - (before - static_cast<std::int64_t>(text.size()));
    u.allocations = heap::allocations() - allocations_before;
    u.reply_length = length;
    pilro::prim::block_free(reply);
    heap::stop();
    return u;
}

// The stub placed with a capture of 100 MiB, its heap counted through its first load.
bool stub_capture_held() {
    namespace bench = pilro::bench;
    std::size_t count = 0;
    const std::string capture = bench::echo_capture(std::size_t{100} << 20, count);
    const std::string directory = bench::fresh_directory("memory-stub");
    const std::string stub_file = directory + bench::separator + "foo.module";
    std::string how;
    if (!bench::copy_file(bench::built_stub(), stub_file) ||
        !bench::write_file(directory + bench::separator + "foo.capture.txt", capture)) {
        std::printf("\ncannot place the stub in %s\n", directory.c_str());
        return false;
    }
    bench::loaded_module stub(stub_file);
    if (!stub.ok() || !bench::heap::install_into(stub.library(), how)) {
        std::printf("\ncannot load the stub, or count its allocations: %s %s\n",
                    stub.error().c_str(), how.c_str());
        return false;
    }
    bench::heap::start();
    bench::load_with(stub.exports(), directory);
    const std::int64_t peak = bench::heap::peak();
    const std::int64_t held = bench::heap::live();
    const std::int64_t allocations = bench::heap::allocations();
    bench::heap::stop();
    stub.exports().unload();
    const auto size = static_cast<double>(capture.size());
    std::printf("\nthe stub's heap for a capture of %zu bytes (%zu requests), read at load\n",
                capture.size(), count);
    std::printf(
        "  peak %lld bytes (%.2f x the capture), held after the load %lld bytes (%.2f x), "
        "%lld allocations\n",
        static_cast<long long>(peak), static_cast<double>(peak) / size,
        static_cast<long long>(held), static_cast<double>(held) / size,
        static_cast<long long>(allocations));
    return peak <= 2 * static_cast<std::int64_t>(capture.size()) &&
           held <= 2 * static_cast<std::int64_t>(capture.size());
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
    std::printf("machine: %s\n", pilro::bench::machine_description().c_str());
    if (!pilro::bench::module_is_right()) {
        return 1;
    }
    std::string how;
    if (!pilro::bench::heap::install(how)) {
        std::printf("cannot count allocations: %s\n", how.c_str());
        return 1;
    }
    std::printf("counted: %s\n", how.c_str());
    pilro::bench::workbench bench;
    if (bench.loaded() == nullptr ||
        !pilro::bench::heap::install_into(bench.loaded_library(), how)) {
        std::printf("cannot count the loaded module's allocations: %s %s\n",
                    bench.load_error().c_str(), how.c_str());
        return 1;
    }
    std::printf("counted: %s\n", how.c_str());

    std::printf("\npeak extra heap of one request (bytes), bound: text + reply + %lld\n",
                static_cast<long long>(small_constant));
    std::printf("  %-14s %10s %6s %12s %12s %10s %7s %12s %7s  %s\n", "module", "text", "reply",
                "peak extra", "over text", "allocs", "left", "bound", "copies", "");
    bool met = true;
    std::int64_t worst_over_text = 0;
    std::vector<std::size_t> sizes = {pilro::bench::execute_request().size()};
    sizes.insert(sizes.end(), std::begin(pilro::bench::sweep_sizes),
                 std::end(pilro::bench::sweep_sizes));
    for (const std::size_t size : sizes) {
        const std::string text = pilro::bench::execute_request(size);
        struct side {
            const char* name;
            const pilro::bench::entry_points* module;
        };
        for (const side s : {side{"linked", &bench.linked()}, side{"loaded", bench.loaded()}}) {
            const usage u = measure(*s.module, text);
            const auto n = static_cast<std::int64_t>(text.size());
            const std::int64_t bound = n + u.reply_length + small_constant;
            // Whole copies of the text held at the peak besides the host's own: one is expected.
            const double copies = static_cast<double>(u.peak_extra) / static_cast<double>(n);
            const bool fits = u.peak_extra <= bound && u.left == u.reply_length + 1;
            met = met && fits;
            worst_over_text = std::max(worst_over_text, u.peak_extra - n);
            std::printf("  %-14s %10zu %6ld %12lld %12lld %10lld %7lld %12lld %7.2f  %s\n", s.name,
                        text.size(), u.reply_length, static_cast<long long>(u.peak_extra),
                        static_cast<long long>(u.peak_extra - n),
                        static_cast<long long>(u.allocations), static_cast<long long>(u.left),
                        static_cast<long long>(bound), copies, fits ? "ok" : "OVER");
        }
    }
    const bool stub_met = stub_capture_held();
    std::printf("\nsummary\n");
    std::printf("  largest peak extra beyond the text itself: %lld bytes\n",
                static_cast<long long>(worst_over_text));
    std::printf("  peak extra heap <= text + reply + %lld: %s\n",
                static_cast<long long>(small_constant), met ? "met" : "NOT MET");
    std::printf(
        "  the stub's heap for its capture, at the load's peak and after it, <= twice "
        "the capture: %s\n",
        stub_met ? "met" : "NOT MET");
    return 0;
}
