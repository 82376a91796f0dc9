// pilro-log --summary: a log's requests by kind, one table per run and one for all runs, for a
// terminal or as tab-separated values.
#ifndef PILRO_LOG_SUMMARY_H
#define PILRO_LOG_SUMMARY_H

#include <functional>
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

// Takes the summary's text a part at a time; false when it could not be written.
using summary_sink = std::function<bool(const std::string& text)>;

// Writes the summary of the log to sink. False when the sink failed, or with a sentence in
// error when the log has no run N.
bool write_summary(const counted_log& log, const summary_options& options, const summary_sink& sink,
                   std::string& error);

}  // namespace pilro::log

#endif
