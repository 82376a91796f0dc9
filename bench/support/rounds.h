// Side-by-side timing: the module's work (A) and the bare yardstick (B) take turns, A B B A
// A B ..., so that whatever else the machine does at a moment weighs on both alike, and the
// result is the median of ratios taken round by round rather than a ratio of two separate
// runs.
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
    double ratio = 0;       // median of the ratios A/B, each over two rounds
    double ratio_low = 0;   // their first quartile
    double ratio_high = 0;  // their third quartile
};

// Collects the rounds of a side-by-side measurement. The sides take turns at going first,
// round by round, and whichever goes first pays for what came just before it; so each ratio
// is taken over two consecutive rounds, one in either order, where that cost weighs on both
// sides alike. A ratio per round would split into two clusters, one per order, and their
// median could fall anywhere between them.
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
    // The round waiting for its partner, if any.
    bool pending_ = false;
    double pending_a_ns_ = 0;
    double pending_b_ns_ = 0;
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

// Times a against b in rounds, A B then B A, an even number of them. between runs after
// every round, untimed (to empty growing log files, say).
paired_result run_paired(const std::function<void()>& a, const std::function<void()>& b,
                         const paired_plan& plan, const std::function<void()>& between = {});

}  // namespace pilro::bench

#endif
