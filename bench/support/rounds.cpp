#include "rounds.h"

#include <algorithm>

namespace pilro::bench {

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1) {
        return upper;
    }
    const double lower = *std::max_element(values.begin(), values.begin() + middle);
    return (lower + upper) / 2;
}

double quantile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[rank];
}

void round_ratios::add(bench_clock::duration a, bench_clock::duration b, std::size_t batch) {
    const double a_ns = std::chrono::duration<double, std::nano>(a).count();
    const double b_ns = std::chrono::duration<double, std::nano>(b).count();
    batch_ = batch;
    a_ns_.push_back(a_ns / static_cast<double>(batch));
    b_ns_.push_back(b_ns / static_cast<double>(batch));
    if (!pending_) {
        pending_ = true;
        pending_a_ns_ = a_ns;
        pending_b_ns_ = b_ns;
        return;
    }
    pending_ = false;
    if (pending_b_ns_ + b_ns > 0) {
        ratios_.push_back((pending_a_ns_ + a_ns) / (pending_b_ns_ + b_ns));
    }
}

paired_result round_ratios::result() const {
    paired_result result;
    result.rounds = a_ns_.size();
    result.batch = batch_;
    result.a_ns = median(a_ns_);
    result.b_ns = median(b_ns_);
    result.ratio = median(ratios_);
    result.ratio_low = quantile(ratios_, 0.25);
    result.ratio_high = quantile(ratios_, 0.75);
    return result;
}

paired_result run_paired(const std::function<void()>& a, const std::function<void()>& b,
                         const paired_plan& plan, const std::function<void()>& between) {
    const auto time = [](const std::function<void()>& f, std::size_t calls) {
        const auto start = bench_clock::now();
        for (std::size_t i = 0; i < calls; ++i) {
            f();
        }
        return bench_clock::now() - start;
    };

    // Warm up both sides (first opens, page cache, lazy binding) and size the batch.
    time(a, 1);
    time(b, 1);
    if (between) {
        between();
    }
    const auto one = std::max(time(a, 1), time(b, 1));
    std::size_t batch = 1;
    while (batch < plan.max_batch && one * batch < plan.min_side) {
        batch *= 2;
    }
    const auto round = 2 * one * batch;
    std::size_t rounds = plan.max_rounds;
    if (round.count() > 0) {
        rounds = static_cast<std::size_t>(
            std::chrono::duration_cast<bench_clock::duration>(plan.budget) / round);
    }
    rounds = std::clamp(rounds, plan.min_rounds, plan.max_rounds);
    rounds += rounds % 2;

    round_ratios collected;
    for (std::size_t r = 0; r < rounds; ++r) {
        // Whichever side goes first in a round pays for what came just before it (between's
        // file calls, the other side's): the same bare cycle on two files timed against
        // itself came out about 1 % (native) and 1.5 % (Wine) slower when always first.
        bench_clock::duration a_time;
        bench_clock::duration b_time;
        if (r % 2 == 0) {
            a_time = time(a, batch);
            b_time = time(b, batch);
        } else {
            b_time = time(b, batch);
            a_time = time(a, batch);
        }
        collected.add(a_time, b_time, batch);
        if (between) {
            between();
        }
    }
    return collected.result();
}

}  // namespace pilro::bench
