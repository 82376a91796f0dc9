// Side-by-side timing: the module's work (A) and the bare yardstick (B) take turns, A B A B,
// so that whatever else the machine does at a moment weighs on both alike, and the result is
// the median of the per-round ratios rather than a ratio of two separate runs.
#ifndef PILRO_BENCH_ROUNDS_H
#define PILRO_BENCH_ROUNDS_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

namespace pilro::bench {

using bench_clock = std::chrono::steady_clock;

// The middle value; for an even count, the mean of the two middle values. 0 for none.
double median(std::vector<double> values);
// The value below which the given fraction of values lie (nearest rank). 0 for none.
double quantile(std::vector<double> values, double fraction);

struct paired_result {
    std::size_t rounds = 0;
    std::size_t batch = 0;  // calls of each side per round
    double a_ns = 0;        // median time of one A call
    double b_ns = 0;        // median time of one B call
    double ratio = 0;       // median of the per-round ratios A/B
    double ratio_low = 0;   // their first quartile
    double ratio_high = 0;  // their third quartile
};

// Collects the rounds of a side-by-side measurement.
class round_ratios {
  public:
    // One round: the time of `batch` A calls and of `batch` B calls.
    void add(bench_clock::duration a, bench_clock::duration b, std::size_t batch);
    paired_result result() const;

  private:
    std::vector<double> a_ns_;
    std::vector<double> b_ns_;
    std::vector<double> ratios_;
    std::size_t batch_ = 1;
};

struct paired_plan {
    // Wall-clock budget for the whole measurement; the round count follows from it.
    std::chrono::milliseconds budget{1000};
    std::size_t min_rounds = 7;
    std::size_t max_rounds = 20000;
    // Calls per side per round are chosen so that a side takes at least this long, which
    // keeps the clock's own cost and resolution out of the ratio.
    std::chrono::microseconds min_side{20};
    std::size_t max_batch = 64;
};

// Times a against b in alternating rounds. between runs after every round, untimed (to
// empty growing log files, say).
paired_result run_paired(const std::function<void()>& a, const std::function<void()>& b,
                         const paired_plan& plan, const std::function<void()>& between = {});

}  // namespace pilro::bench

#endif
