// pilro_bench: the module's costs against the bare append cycle, with Google Benchmark.
//
// Every benchmark here is side by side: each iteration runs the module's work once and the
// yardstick once, each timed on its own. The reported time is the module's (manual time);
// the counters give the medians of both sides and of the per-iteration ratios, so a ratio
// never mixes two moments of a noisy machine.
//
// The module's replies and log entries are checked first; a wrong module is not measured.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "request/request.h"
#include "support/check.h"
#include "support/host.h"
#include "support/platform.h"
#include "support/rounds.h"
#include "support/texts.h"
#include "support/workbench.h"

namespace {

using pilro::bench::bench_clock;
using pilro::bench::workbench;

std::unique_ptr<workbench> bench;

struct side_by_side {
    std::function<void()> module;
    // Empty for a benchmark of the module side alone.
    std::function<void()> yardstick;
    // Untimed, after each iteration.
    std::function<void()> between;
    // Bytes of text one module call handles, for the per-byte counters; 0 for none.
    std::size_t bytes = 0;
};

void run(benchmark::State& state, const side_by_side& s) {
    pilro::bench::round_ratios ratios;
    s.module();
    if (s.yardstick) {
        s.yardstick();
    }
    const auto timed = [](const std::function<void()>& f) {
        const auto start = bench_clock::now();
        f();
        return bench_clock::now() - start;
    };
    // The two sides take turns at going first, as in run_paired: the first pays for what
    // came just before it. round_ratios takes each ratio over two iterations, one in either
    // order.
    bool module_first = true;
    for (auto _ : state) {
        bench_clock::duration module_time;
        bench_clock::duration yardstick_time;
        if (!s.yardstick) {
            module_time = yardstick_time = timed(s.module);
        } else if (module_first) {
            module_time = timed(s.module);
            yardstick_time = timed(s.yardstick);
        } else {
            yardstick_time = timed(s.yardstick);
            module_time = timed(s.module);
        }
        module_first = !module_first;
        state.SetIterationTime(std::chrono::duration<double>(module_time).count());
        ratios.add(module_time, yardstick_time, 1);
        if (s.between) {
            s.between();
        }
    }
    const pilro::bench::paired_result r = ratios.result();
    state.counters["module_ns"] = r.a_ns;
    if (s.yardstick) {
        state.counters["bare_ns"] = r.b_ns;
        state.counters["ratio"] = r.ratio;
        state.counters["ratio_q1"] = r.ratio_low;
        state.counters["ratio_q3"] = r.ratio_high;
    }
    if (s.bytes > 0) {
        state.counters["module_ns_per_B"] = r.a_ns / static_cast<double>(s.bytes);
        if (s.yardstick) {
            state.counters["bare_ns_per_B"] = r.b_ns / static_cast<double>(s.bytes);
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                                static_cast<std::int64_t>(s.bytes));
    }
}

benchmark::internal::Benchmark* add(const std::string& name, side_by_side s) {
    return benchmark::RegisterBenchmark(name.c_str(),
                                        [s](benchmark::State& state) { run(state, s); })
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
}

std::string size_name(std::size_t bytes) {
    return bytes >= (1u << 20) ? std::to_string(bytes >> 20) + "MiB"
                               : std::to_string(bytes >> 10) + "KiB";
}

void register_benchmarks() {
    const auto keep_small = [] { bench->keep_files_small(); };

    // A request round trip against one bare append cycle of the same bytes.
    const auto typical = std::make_shared<std::string>(pilro::bench::execute_request());
    const auto kibibyte = std::make_shared<std::string>(pilro::bench::execute_request(1024));
    for (const auto& [label, text] : {std::pair{"typical", typical}, std::pair{"1KiB", kibibyte}}) {
        add(std::string("RoundTrip/linked/") + label,
            {[text] { bench->linked_round_trip(*text); }, [text] { bench->bare(*text); },
             keep_small, text->size()});
        add(std::string("RoundTrip/loaded/") + label,
            {[text] { bench->loaded_round_trip(*text); }, [text] { bench->bare(*text); },
             keep_small, text->size()});
        // The relay in front of a copy of the module file, against a direct call to that
        // copy and the bare cycles of the relay's two entries.
        add(std::string("RoundTrip/relay_vs_direct_and_2_cycles/") + label,
            {[text] { bench->relay_round_trip(*text); },
             [text] { bench->direct_and_two_bare(*text); }, keep_small, text->size()});
    }

    // The cost per byte from 1 KiB to 16 MiB, at the round sizes and just off them; and the
    // host's share of a round trip (its block made, filled and freed) on its own.
    for (const std::size_t extra : {std::size_t{0}, pilro::bench::off_grid}) {
        for (const std::size_t nominal : pilro::bench::sweep_sizes) {
            const std::size_t size = nominal + extra;
            const auto text = std::make_shared<std::string>(pilro::bench::execute_request(size));
            const std::string name =
                size_name(nominal) + (extra > 0 ? "+" + std::to_string(extra) : "");
            add("RequestSize/linked/" + name, {[text] { bench->linked_round_trip(*text); },
                                               [text] { bench->bare(*text); }, keep_small, size});
            add("HostBlock/" + name, {[text] { pilro::bench::host_block(*text); }, {}, {}, size});
        }
    }

    // The reply logic alone against a plain scan of the same bytes: a well-formed request
    // (separator on the first line, but the C-string form must find the text's end), and a
    // text without the separator (the search crosses it all).
    for (const std::size_t size : pilro::bench::sweep_sizes) {
        const auto text = std::make_shared<std::string>(pilro::bench::execute_request(size));
        add("ReplyLogic/request_vs_memchr/" + size_name(size),
            {[text] { benchmark::DoNotOptimize(pilro::build_reply(text->c_str())); },
             [text] { benchmark::DoNotOptimize(std::memchr(text->c_str(), 0, text->size() + 1)); },
             {},
             size});
        const auto plain =
            std::make_shared<std::string>(pilro::bench::text_without_separator(size));
        add("ReplyLogic/no_separator_vs_memmem/" + size_name(size),
            {[plain] { benchmark::DoNotOptimize(pilro::build_reply(std::string_view(*plain))); },
             [plain] {
                 benchmark::DoNotOptimize(
                     pilro::bench::find_bytes(plain->data(), plain->size(), " SAORI/", 7));
             },
             {},
             size});
    }

    // Attach (path query, placing the log, attach entry) against one bare cycle of
    // the attach entry.
    add("Attach/in_process", {[] { bench->attach(); }, [] { bench->bare_attach_entry(); },
                              [] {
                                  bench->restore_log_path();
                                  bench->keep_files_small();
                              }});
    // For orientation: loading and releasing the module file (the loader's work, attach and
    // detach) against two bare cycles.
    const std::string directory = pilro::bench::fresh_directory("timing-load");
    const auto module_file =
        std::make_shared<std::string>(directory + pilro::bench::separator + "pilro.module");
    pilro::bench::copy_file(pilro::bench::built_module(), *module_file);
    add("Attach/load_and_release_vs_2_cycles",
        {[module_file] { pilro::bench::loaded_module module(*module_file); },
         [] {
             bench->bare_attach_entry();
             bench->bare_attach_entry();
         },
         keep_small});
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    std::printf("machine: %s\n", pilro::bench::machine_description().c_str());
    if (!pilro::bench::module_is_right()) {
        return 1;
    }
    bench = std::make_unique<workbench>();
    if (bench->loaded() == nullptr) {
        std::printf("cannot load the module file: %s\n", bench->load_error().c_str());
        return 1;
    }
    if (!bench->relay_ready()) {
        std::printf("check: the relay is wrong; nothing is measured: %s\n",
                    bench->relay_error().c_str());
        return 1;
    }
    std::fflush(stdout);
    register_benchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench.reset();
    return 0;
}
