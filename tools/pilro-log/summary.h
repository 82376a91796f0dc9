// pilro-log --summary: a log's requests by kind, one table per run and one for all runs, for a
// terminal or as tab-separated values.
#ifndef PILRO_LOG_SUMMARY_H
#define PILRO_LOG_SUMMARY_H

#include <string>

#include "capture/census.h"
#include "counted.h"

namespace pilro::log {

struct summary_options {
    // Only run N (from the end where negative), as --run gives it.
    bool has_run = false;
    long long run = 0;
    capture::row_order order = capture::row_order::time;
    bool tsv = false;
};

// The summary of the log; false with a sentence in error when it has no run N.
bool summary_text(const counted_log& log, const summary_options& options, std::string& text,
                  std::string& error);

}  // namespace pilro::log

#endif
