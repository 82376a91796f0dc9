// pilro-log --html: a log as one page to open in a browser, which holds everything it shows
// (no file beside it, nothing fetched): the summary to sort and filter, a plot of each
// request's time, and each exchange's texts on a click.
#ifndef PILRO_LOG_REPORT_H
#define PILRO_LOG_REPORT_H

#include <cstddef>
#include <string>

#include "capture/census.h"
#include "counted.h"

namespace pilro::log {

// The page grows no larger than this: where the numbers take much room, the texts get less.
inline constexpr std::size_t page_limit = 20000000;

// The page for log, read from the file named log_name (UTF-8), with its rows first in order.
std::string report_page(const std::string& log_name, const counted_log& log,
                        const page_texts& texts, capture::row_order order);

// Writes text to the file at path, replacing it; false with a sentence in error when it could
// not be written whole (what was written stays: the path may name a device).
bool write_file(const std::string& path, const std::string& text, std::string& error);

}  // namespace pilro::log

#endif
