// pilro_bench_rounds: the module's costs against the bare append cycle, timed side by side
// with the standard clock alone, so that it runs wherever the module does (the Windows build
// under Wine included, where no benchmark library is at hand).
//
// Usage: pilro_bench_rounds [--quick] [SECTION...]
//   --quick  shorter budgets, a sweep up to 1 MiB and a capture of 10 MiB, for a smoke run.
//   SECTION  any of round-trip, sweep, reply, attach, stub, exports; all of them when none is
//            named.
//
// Exits with 1, measuring nothing, when the module's replies or log entries are wrong.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files.h"
#include "platform/platform.h"
#include "request/request.h"
#include "support/check.h"
#include "support/platform.h"
#include "support/rounds.h"
#include "support/texts.h"
#include "support/workbench.h"

namespace {

using pilro::bench::paired_plan;
using pilro::bench::paired_result;
using pilro::bench::run_paired;
using pilro::bench::workbench;

// A request round trip may cost this much per bare append cycle.
constexpr double round_trip_limit = 1.05;
// The attach work may cost this much per bare append cycle.
constexpr double attach_limit = 2.0;
// The stub reads a capture of this size at its first load in at most this long, and its round
// trip may cost this much per round trip of the relay in front of the echo module.
constexpr std::size_t stub_capture_size = std::size_t{100} << 20;
constexpr double stub_read_limit_s = 1.0;
// How fast the cost may grow with the size, as the exponent k in cost ~ size^k between two
// neighbouring sizes: 1 is linear, 2 quadratic; the limit lies halfway.
constexpr double exponent_limit = 1.5;
// An export that pilro-place gave the relay may cost this many nanoseconds per call more than
// the real function called directly.
constexpr double export_limit_ns = 10;
// Below this size the fixed cost of a cycle dominates, and allocators change how they get
// memory (glibc maps blocks of 128 KiB and up on their own, Wine's heap those of about
// 512 KiB and up): growth is judged from here on.
constexpr std::size_t linear_from = 1u << 20;

volatile std::size_t sink = 0;

struct run_context {
    workbench& bench;
    bool quick;
    std::vector<std::string> summary;

    paired_plan plan(int full_ms, int quick_ms, std::size_t min_rounds = 7) const {
        paired_plan p;
        p.budget = std::chrono::milliseconds(quick ? quick_ms : full_ms);
        p.min_rounds = min_rounds;
        return p;
    }
    void conclude(const char* goal, double limit, bool met) {
        char line[160];
        std::snprintf(line, sizeof line, "  %s %.2f: %s", goal, limit, met ? "met" : "NOT MET");
        summary.emplace_back(line);
    }
    bool in_sweep(std::size_t size) const { return !quick || size <= (1u << 20); }
};

std::string size_name(std::size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    if (bytes >= 1024 && bytes % 1024 == 0) {
        return std::to_string(bytes >> 10) + " KiB";
    }
    return std::to_string(bytes) + " B";
}

void print_pair(const std::string& what, const paired_result& r, const char* a_name,
                const char* b_name) {
    std::printf("  %-40s %s %9.2f us  %s %9.2f us  ratio %.3f [IQR %.3f-%.3f]  %zux%zu\n",
                what.c_str(), a_name, r.a_ns / 1000, b_name, r.b_ns / 1000, r.ratio, r.ratio_low,
                r.ratio_high, r.rounds, r.batch);
}

void round_trip_section(run_context& run) {
    std::printf("\nround trip (block in, request, reply block freed) vs bare append cycle\n");
    workbench& bench = run.bench;
    const std::string typical = pilro::bench::execute_request();
    const std::string kibibyte = pilro::bench::execute_request(1024);
    struct case_t {
        const char* name;
        const std::string* text;
        bool loaded;
    };
    bool met = true;
    for (const case_t& c : {case_t{"typical EXECUTE, linked", &typical, false},
                            case_t{"typical EXECUTE, loaded module", &typical, true},
                            case_t{"1 KiB EXECUTE, linked", &kibibyte, false},
                            case_t{"1 KiB EXECUTE, loaded module", &kibibyte, true}}) {
        const std::string& text = *c.text;
        const paired_result r = run_paired(
            [&] {
                if (c.loaded) {
                    bench.loaded_round_trip(text);
                } else {
                    bench.linked_round_trip(text);
                }
            },
            [&] { bench.bare(text); }, run.plan(3000, 300), [&] { bench.keep_files_small(); });
        print_pair(std::string(c.name) + " (" + std::to_string(text.size()) + " B)", r, "module",
                   "bare");
        met = met && r.ratio <= round_trip_limit;
    }
    run.conclude("round trip per bare cycle <=", round_trip_limit, met);

    // The relay in front of a copy of the module file: its round trip against the same
    // request sent to another copy directly plus the bare cycles of the relay's two entries.
    // Each side makes three appends, each of which now and then takes a new page of its
    // file: rounds of several calls even that out.
    met = true;
    paired_plan relay_plan = run.plan(3000, 300);
    relay_plan.min_side = std::chrono::microseconds(100);
    for (const std::string* text : {&typical, &kibibyte}) {
        const paired_result r = run_paired([&] { bench.relay_round_trip(*text); },
                                           [&] { bench.direct_and_two_bare(*text); }, relay_plan,
                                           [&] { bench.keep_files_small(); });
        const std::string size = std::to_string(text->size()) + " B";
        print_pair("relay, EXECUTE (" + size + ")", r, "relay", "direct+2 bare");
        met = met && r.ratio <= round_trip_limit;
        // For orientation: what the relay adds to a direct call, its two entries included.
        const paired_result d = run_paired([&] { bench.relay_round_trip(*text); },
                                           [&] { bench.direct_round_trip(*text); },
                                           run.plan(1500, 300), [&] { bench.keep_files_small(); });
        print_pair("relay vs direct call (" + size + ")", d, "relay", "direct");
        std::printf("  %-40s %+.2f us over a direct call, %+.2f us over its two bare cycles\n", "",
                    (d.ratio - 1) * d.b_ns / 1000, (r.ratio - 1) * r.b_ns / 1000);
    }
    run.conclude("relay round trip per (direct call + 2 bare cycles) <=", round_trip_limit, met);
}

void sweep_section(run_context& run) {
    std::printf(
        "\nrequest size sweep, linked: round trip and the host's block alone, vs bare cycle\n");
    std::printf("  %10s %11s %11s %11s %9s %9s %7s %9s %9s\n", "size", "module us", "bare us",
                "host us", "module/B", "bare/B", "ratio", "faults", "exponent");
    workbench& bench = run.bench;
    const auto between = [&] { bench.keep_files_small(); };
    bool met = true;
    for (const std::size_t extra : {std::size_t{0}, pilro::bench::off_grid}) {
        double previous_cost = 0;
        std::size_t previous_size = 0;
        for (const std::size_t nominal : pilro::bench::sweep_sizes) {
            if (!run.in_sweep(nominal)) {
                break;
            }
            const std::size_t size = nominal + extra;
            const std::string text = pilro::bench::execute_request(size);
            // Page faults per round trip: a fresh page of memory costs microseconds, so they
            // tell whether a size's blocks came as memory the process had touched before.
            std::size_t calls = 0;
            const std::int64_t faults_before = pilro::bench::page_faults();
            const paired_result r = run_paired(
                [&] {
                    bench.linked_round_trip(text);
                    ++calls;
                },
                [&] { bench.bare(text); }, run.plan(1500, 200, 5), between);
            const std::int64_t faults_after = pilro::bench::page_faults();
            // The host's share of the round trip by itself: its block made, filled and freed.
            const paired_result host =
                run_paired([&] { pilro::bench::host_block(text); }, [&] { bench.bare(text); },
                           run.plan(500, 100, 5), between);
            const std::string name =
                size_name(nominal) + (extra > 0 ? "+" + std::to_string(extra) : "");
            std::printf("  %10s %11.1f %11.1f %11.1f %9.3f %9.3f %7.3f", name.c_str(),
                        r.a_ns / 1000, r.b_ns / 1000, host.a_ns / 1000,
                        r.a_ns / static_cast<double>(size), r.b_ns / static_cast<double>(size),
                        r.ratio);
            if (faults_before >= 0 && faults_after >= faults_before && calls > 0) {
                std::printf(" %9.1f", static_cast<double>(faults_after - faults_before) /
                                          static_cast<double>(calls));
            } else {
                std::printf(" %9s", "-");
            }
            if (previous_cost > 0) {
                const double exponent =
                    std::log(r.a_ns / previous_cost) /
                    std::log(static_cast<double>(size) / static_cast<double>(previous_size));
                std::printf(" %9.2f", exponent);
                if (nominal > linear_from && exponent > exponent_limit) {
                    met = false;
                }
            }
            std::printf("\n");
            previous_cost = r.a_ns;
            previous_size = size;
        }
    }
    const std::string goal =
        "cost ~ size^k, every step from " + size_name(linear_from) + " up: k <=";
    run.conclude(goal.c_str(), exponent_limit, met);
}

void reply_section(run_context& run) {
    std::printf("\nreply logic alone vs a plain scan of the same text (ns per byte)\n");
    std::printf("  %10s %14s %12s %8s %14s %16s %8s\n", "size", "build_reply(p)", "memchr NUL",
                "ratio", "no separator", pilro::bench::byte_search_name, "ratio");
    constexpr char separator[] = " SAORI/";
    for (const std::size_t size : pilro::bench::sweep_sizes) {
        if (!run.in_sweep(size)) {
            break;
        }
        // A well-formed request: the separator is on the first line, but the C-string form
        // must find the end of the text first.
        const std::string text = pilro::bench::execute_request(size);
        const paired_result found = run_paired(
            [&] { sink = pilro::build_reply(text.c_str()).size(); },
            [&] {
                sink = static_cast<std::size_t>(
                    static_cast<const char*>(std::memchr(text.c_str(), 0, text.size() + 1)) -
                    text.c_str());
            },
            run.plan(500, 100, 5));
        // No separator anywhere: the search crosses the whole text.
        const std::string plain = pilro::bench::text_without_separator(size);
        const paired_result absent =
            run_paired([&] { sink = pilro::build_reply(std::string_view(plain)).size(); },
                       [&] {
                           sink = pilro::bench::find_bytes(plain.data(), plain.size(), separator,
                                                           sizeof separator - 1) == nullptr;
                       },
                       run.plan(500, 100, 5));
        const auto per_byte = [size](double ns) { return ns / static_cast<double>(size); };
        std::printf("  %10s %14.4f %12.4f %8.2f %14.4f %16.4f %8.2f\n", size_name(size).c_str(),
                    per_byte(found.a_ns), per_byte(found.b_ns), found.ratio, per_byte(absent.a_ns),
                    per_byte(absent.b_ns), absent.ratio);
    }
}

void attach_section(run_context& run) {
    std::printf("\nattach vs bare append cycle of the attach entry\n");
    workbench& bench = run.bench;
    const paired_result attach =
        run_paired([&] { bench.attach(); }, [&] { bench.bare_attach_entry(); }, run.plan(3000, 300),
                   [&] {
                       bench.restore_log_path();
                       bench.keep_files_small();
                   });
    const std::string label = pilro::bench::has_lead_byte_table()
                                  ? "lead bytes (code page " +
                                        std::to_string(pilro::bench::ansi_code_page()) +
                                        "), path, log, entry"
                                  : std::string("path, log, entry (no lead bytes here)");
    print_pair(label, attach, "attach", "bare");
    run.conclude("attach per bare cycle <=", attach_limit, attach.ratio <= attach_limit);

    // For orientation only: loading the module file adds the loader's own work.
    const std::string directory = pilro::bench::fresh_directory("timing-load");
    const std::string module_file = directory + pilro::bench::separator + "pilro.module";
    pilro::bench::copy_file(pilro::bench::built_module(), module_file);
    const paired_result load = run_paired([&] { pilro::bench::loaded_module module(module_file); },
                                          [&] {
                                              bench.bare_attach_entry();
                                              bench.bare_attach_entry();
                                          },
                                          run.plan(1500, 300), [&] { bench.keep_files_small(); });
    print_pair("load + release the module file", load, "module", "2 bare");
}

// The stub in place of the echo module, answering from what the relay captured in front of
// it, against the relay in front of the echo module: each logs the request and the same reply.
void stub_section(run_context& run) {
    const std::size_t size = run.quick ? stub_capture_size / 10 : stub_capture_size;
    std::size_t count = 0;
    const std::string capture = pilro::bench::echo_capture(size, count);
    std::printf("\nthe stub: a capture of %s (%zu requests with their replies) read at load\n",
                size_name(size).c_str(), count);
    const std::string directory = pilro::bench::fresh_directory("timing-stub");
    const std::string stub_file = directory + pilro::bench::separator + "foo.module";
    const std::string relay_directory = pilro::bench::fresh_directory("timing-stub-relay");
    const std::string relay_file = relay_directory + pilro::bench::separator + "foo.module";
    if (!pilro::bench::copy_file(pilro::bench::built_stub(), stub_file) ||
        !pilro::bench::write_file(directory + pilro::bench::separator + "foo.capture.txt",
                                  capture) ||
        !pilro::bench::copy_file(pilro::bench::built_relay(), relay_file) ||
        !pilro::bench::copy_file(pilro::bench::built_echo_module(),
                                 relay_directory + pilro::bench::separator + "foo.orig.module")) {
        std::printf("  cannot place the stub and the relay in %s\n", directory.c_str());
        run.conclude("stub: placed", 0, false);
        return;
    }
    pilro::bench::loaded_module stub(stub_file);
    pilro::bench::loaded_module relay(relay_file);
    if (!stub.ok() || !relay.ok()) {
        std::printf("  cannot load the stub or the relay: %s%s\n", stub.error().c_str(),
                    relay.error().c_str());
        run.conclude("stub: loaded", 0, false);
        return;
    }
    // Each load after an unload reads the capture anew.
    std::vector<double> seconds;
    std::vector<double> processor;
    for (int i = 0; i < (run.quick ? 3 : 7); ++i) {
        const double processor_before = pilro::bench::processor_seconds();
        const auto started = pilro::bench::bench_clock::now();
        pilro::bench::load_with(stub.exports(), directory);
        seconds.push_back(
            std::chrono::duration<double>(pilro::bench::bench_clock::now() - started).count());
        processor.push_back(pilro::bench::processor_seconds() - processor_before);
        if (i + 1 < (run.quick ? 3 : 7)) {
            stub.exports().unload();
        }
    }
    const double median_s = pilro::bench::median(seconds);
    // On a machine that others share the processor time tells what the load costs.
    std::printf(
        "  read and indexed at load: first %.3f s (processor %.3f s), median of %zu "
        "%.3f s (processor %.3f s), %.0f MB/s\n",
        seconds.front(), processor.front(), seconds.size(), median_s,
        pilro::bench::median(processor), static_cast<double>(size) / 1e6 / median_s);
    run.conclude(("stub: " + size_name(size) + " capture read at load, seconds <=").c_str(),
                 stub_read_limit_s,
                 seconds.front() <= stub_read_limit_s && median_s <= stub_read_limit_s);

    pilro::bench::load_with(relay.exports(), relay_directory);
    // A request the capture holds, whose reply is its own bytes, as the echo module's is.
    const std::string text = pilro::bench::capture_request(count / 2);
    std::string from_stub;
    std::string from_relay;
    pilro::bench::round_trip(stub.exports(), text, &from_stub);
    pilro::bench::round_trip(relay.exports(), text, &from_relay);
    // The stub's block holds a NUL after the reply; the echo module's, which the relay hands
    // on, ends with the reply.
    if (from_stub != text + '\0' || from_relay.substr(0, text.size()) != text) {
        std::printf("  check: the stub or the relay did not answer with the request itself\n");
        run.conclude("stub: answers", 0, false);
        return;
    }
    const std::string logs[] = {directory + pilro::bench::separator + "foo.pilro.txt",
                                relay_directory + pilro::bench::separator + "foo.pilro.txt"};
    paired_plan plan = run.plan(3000, 300);
    plan.min_side = std::chrono::microseconds(100);
    const paired_result r =
        run_paired([&] { pilro::bench::round_trip(stub.exports(), text); },
                   [&] { pilro::bench::round_trip(relay.exports(), text); }, plan,
                   [&] {
                       for (const std::string& log : logs) {
                           if (pilro::bench::file_size(log) > (64 << 20)) {
                               pilro::bench::empty_file(log);
                           }
                       }
                   });
    print_pair("stub vs relay+echo, EXECUTE (" + std::to_string(text.size()) + " B)", r, "stub",
               "relay");
    run.conclude("stub round trip per round trip of the relay in front of the echo module <=",
                 round_trip_limit, r.ratio <= round_trip_limit);
    stub.exports().unload();
    relay.exports().unload();
}

// An export of the echo module's that pilro-place gave the relay, called through it, against the
// same function called directly: what its entry and the dispatcher add to a call, and what its
// first call costs, which finds the function.
void exports_section(run_context& run) {
    std::printf("\nan export that pilro-place gave the relay vs the real function called directly\n");
    if (!pilro::platform::loads_pe_modules()) {
        std::printf("  not measured: pilro-place places Windows DLLs only\n");
        return;
    }
    using sum_function = int(PILRO_CDECL*)(int, int, int);
    const std::string directory = pilro::bench::fresh_directory("timing-exports");
    std::string why;
    const std::string placed = pilro::files::place_with_exports(
        directory, pilro::bench::built_relay(), pilro::bench::built_echo_module(), why);
    pilro::bench::loaded_module relay(placed.empty() ? directory : placed);
    pilro::bench::loaded_module real(directory + pilro::bench::separator + "foo.dll");
    if (placed.empty() || !relay.ok() || !real.ok()) {
        std::printf("  cannot place or load the relay: %s%s%s\n", why.c_str(),
                    relay.error().c_str(), real.error().c_str());
        run.conclude("exports: placed", 0, false);
        return;
    }
    const auto find = [](const pilro::bench::loaded_module& m, const std::string& name) {
        return reinterpret_cast<sum_function>(
            pilro::platform::library_symbol(m.library(), name.c_str()));
    };
    // Each first call finds its function: the relay's export table read, the real module's
    // export looked up.
    std::vector<double> first_us;
    for (int k = 0; k < (run.quick ? 20 : 200); ++k) {
        const sum_function through = find(relay, "sum_" + std::to_string(k));
        const auto started = pilro::bench::bench_clock::now();
        sink = sink + static_cast<std::size_t>(through(k, 1, 1));
        first_us.push_back(std::chrono::duration<double, std::micro>(
                               pilro::bench::bench_clock::now() - started)
                               .count());
    }
    const sum_function through = find(relay, "sum_of");
    const sum_function direct = find(real, "sum_of");
    if (through == nullptr || direct == nullptr || through == direct || through(1, 2, 3) != 6 ||
        direct(1, 2, 3) != 6) {
        std::printf("  check: sum_of through the relay or directly did not add up\n");
        run.conclude("exports: add up", 0, false);
        return;
    }
    paired_plan plan = run.plan(3000, 300);
    plan.min_side = std::chrono::microseconds(200);
    plan.max_batch = std::size_t{1} << 20;
    const paired_result r =
        run_paired([&] { sink = sink + static_cast<std::size_t>(through(1, 2, 3)); },
                   [&] { sink = sink + static_cast<std::size_t>(direct(1, 2, 3)); }, plan);
    std::printf("  %-40s relay %9.2f ns  direct %9.2f ns  ratio %.3f [IQR %.3f-%.3f]  %zux%zu\n",
                "sum_of(1, 2, 3)", r.a_ns, r.b_ns, r.ratio, r.ratio_low, r.ratio_high, r.rounds,
                r.batch);
    const double added_ns = r.a_ns - r.b_ns;
    std::printf("  %-40s %+.2f ns per call; a first call %.1f us (median of %zu exports)\n", "",
                added_ns, pilro::bench::median(first_us), first_us.size());
    run.conclude("exports: ns per call over a direct call <=", export_limit_ns,
                 added_ns <= export_limit_ns);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::vector<std::string> sections;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else {
            sections.emplace_back(argv[i]);
        }
    }
    const auto wanted = [&](const char* section) {
        return sections.empty() ||
               std::find(sections.begin(), sections.end(), section) != sections.end();
    };

    std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
    std::printf("machine: %s\n", pilro::bench::machine_description().c_str());
    if (!pilro::bench::module_is_right()) {
        return 1;
    }
    workbench bench;
    if (bench.loaded() == nullptr) {
        std::printf("cannot load the module file: %s\n", bench.load_error().c_str());
        return 1;
    }
    if (!bench.relay_ready()) {
        std::printf("check: the relay is wrong; nothing is measured: %s\n",
                    bench.relay_error().c_str());
        return 1;
    }
    std::printf("check: the relay relays to a copy of the module file, and logs its reply\n");
    run_context run{bench, quick, {}};
    if (wanted("round-trip")) {
        round_trip_section(run);
    }
    if (wanted("sweep")) {
        sweep_section(run);
    }
    if (wanted("reply")) {
        reply_section(run);
    }
    if (wanted("attach")) {
        attach_section(run);
    }
    if (wanted("stub")) {
        stub_section(run);
    }
    if (wanted("exports")) {
        exports_section(run);
    }
    std::printf("\nsummary\n");
    for (const std::string& line : run.summary) {
        std::printf("%s\n", line.c_str());
    }
    return 0;
}
