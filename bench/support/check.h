// The gate in front of every measurement: timings of a module that answers wrongly, or logs
// something other than what it was sent, would mean nothing.
#ifndef PILRO_BENCH_CHECK_H
#define PILRO_BENCH_CHECK_H

#include <string>
#include <vector>

#include "host.h"

namespace pilro::bench {

// Sends a version query, an EXECUTE request, a request with an unknown method and a 1 MiB
// EXECUTE request, and compares the replies (text, reported length, trailing NUL) and the
// bytes each call appends to the log at log_file with what they must be. load and unload
// entries are checked as well. Returns one line per fault; empty when all is right.
std::vector<std::string> check_replies_and_log(const entry_points& module,
                                               const std::string& log_file);

// The full check on the linked exports (logging to a fresh scratch directory) and on the
// module file loaded from a scratch copy, including its attach and detach entries. Prints
// what was checked and every fault; returns whether the module may be measured.
bool module_is_right();

}  // namespace pilro::bench

#endif
