#include "summary.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace pilro::log {
namespace {

namespace capture = pilro::capture;

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The entries of a run (or of all) that are no part of an exchange, as a phrase each.
std::vector<std::string> mark_counts(const capture::census& c, std::size_t run, bool all) {
    std::uint64_t counts[5] = {0, 0, 0, 0, 0};
    for (const capture::mark& m : c.marks()) {
        if (!all && m.run != run) {
            continue;
        }
        const std::size_t which = m.kind == capture::entry_kind::note      ? 0
                                  : m.kind == capture::entry_kind::damaged ? 1
                                  : m.kind == capture::entry_kind::reply   ? (m.unlogged ? 3 : 2)
                                                                           : 4;
        ++counts[which];
    }
    static const char* const names[5][2] = {
        {"note", "notes"},
        {"damaged entry", "damaged entries"},
        {"reply to no request", "replies to no request"},
        {"reply to an unlogged request", "replies to an unlogged request"},
        {"cut-short entry", "cut-short entries"}};
    std::vector<std::string> phrases;
    for (std::size_t k = 0; k < 5; ++k) {
        if (counts[k] > 0) {
            phrases.push_back(plural(counts[k], names[k][0], names[k][1]));
        }
    }
    return phrases;
}

// The table's columns, for a log with or without reply entries.
struct columns {
    explicit columns(const capture::census& c) : statuses(c.statuses()), replies(c.replies() > 0) {
        names.push_back("count");
        if (replies) {
            for (const int code : statuses) {
                names.push_back(code == capture::no_status ? "other" : std::to_string(code));
            }
            for (const char* name :
                 {"null", "no reply", "total us", "median us", "p95 us", "max us"}) {
                names.push_back(name);
            }
        }
        names.push_back("bytes in");
        if (replies) {
            names.push_back("bytes out");
        }
    }
    std::vector<std::string> cells(const capture::summary_row& row) const {
        std::vector<std::string> cells{std::to_string(row.count)};
        if (replies) {
            for (const std::uint64_t n : row.statuses) {
                cells.push_back(std::to_string(n));
            }
            cells.push_back(std::to_string(row.null_replies));
            cells.push_back(std::to_string(row.unanswered));
            for (const std::uint64_t us : {row.total_us, row.median_us, row.p95_us, row.max_us}) {
                cells.push_back(row.timed > 0 ? std::to_string(us) : "-");
            }
        }
        cells.push_back(std::to_string(row.bytes_in));
        if (replies) {
            cells.push_back(std::to_string(row.bytes_out));
        }
        return cells;
    }
    std::vector<int> statuses;
    bool replies;
    std::vector<std::string> names;
};

// A table for a terminal: numbers right-aligned, the kind last.
std::string aligned(const std::vector<std::vector<std::string>>& lines, std::size_t rule) {
    std::vector<std::size_t> widths(lines.front().size() - 1, 0);
    for (const std::vector<std::string>& line : lines) {
        for (std::size_t k = 0; k < widths.size(); ++k) {
            widths[k] = std::max(widths[k], line[k].size());
        }
    }
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i == rule) {
            for (std::size_t k = 0; k < widths.size(); ++k) {
                text += std::string(widths[k], '-') + "  ";
            }
            text += "-----\n";
        }
        for (std::size_t k = 0; k < widths.size(); ++k) {
            text += std::string(widths[k] - lines[i][k].size(), ' ') + lines[i][k] + "  ";
        }
        text += lines[i].back() + "\n";
    }
    return text;
}

// One table: the exchanges of run `run` (from 0), or of all runs.
std::string table(const counted_log& log, const columns& cols, const summary_options& options,
                  std::size_t run, bool all) {
    const capture::census& c = log.census;
    const std::size_t first = all ? 0 : c.run_start(run);
    const std::size_t last = all ? c.exchanges().size() : c.run_start(run + 1);
    const capture::summary_table t = capture::summarize(c, first, last, options.order);
    const std::string name = all ? "all" : std::to_string(run + 1);
    const std::vector<std::string> marks = mark_counts(c, run, all);
    std::vector<std::vector<std::string>> lines;
    if (options.tsv) {
        std::string text;
        const auto line = [&](const char* what, const std::string& kind,
                              const std::vector<std::string>& cells) {
            text += name + "\t" + what + "\t" + kind;
            for (const std::string& cell : cells) {
                text += "\t" + cell;
            }
            text += "\n";
        };
        for (const capture::summary_row& row : t.rows) {
            line("request", c.kinds()[row.kind], cols.cells(row));
        }
        line("total", "", cols.cells(t.total));
        for (const std::string& phrase : marks) {
            // "2 notes": the count, then what.
            const std::size_t blank = phrase.find(' ');
            line(phrase.substr(blank + 1).c_str(), "", {phrase.substr(0, blank)});
        }
        return text;
    }
    std::string head = (all ? std::string("all runs: ") : "run " + name + ": ") +
                       (t.rows.empty() ? "no requests"
                                       : plural(t.total.count, "request", "requests") + " of " +
                                             plural(t.rows.size(), "kind", "kinds"));
    if (cols.replies) {
        head += ", " + plural(t.total.count - t.total.unanswered, "reply", "replies");
    }
    for (const std::string& phrase : marks) {
        head += ", " + phrase;
    }
    head += "\n";
    if (t.rows.empty()) {
        return head;
    }
    lines.push_back(cols.names);
    lines.back().push_back("kind");
    for (const capture::summary_row& row : t.rows) {
        lines.push_back(cols.cells(row));
        lines.back().push_back(c.kinds()[row.kind]);
    }
    lines.push_back(cols.cells(t.total));
    lines.back().push_back("total");
    return head + aligned(lines, lines.size() - 1);
}

}  // namespace

bool summary_text(const counted_log& log, const summary_options& options, std::string& text,
                  std::string& error) {
    const capture::census& c = log.census;
    const columns cols(c);
    text.clear();
    if (options.tsv) {
        text = "run\twhat\tkind";
        for (const std::string& name : cols.names) {
            text += "\t" + name;
        }
        text += "\n";
    }
    if (options.has_run) {
        std::size_t run = 0;
        if (!capture::find_run(c.runs(), options.run, run, error)) {
            return false;
        }
        text += table(log, cols, options, run, false);
        return true;
    }
    for (std::size_t run = 0; run < c.runs(); ++run) {
        text += table(log, cols, options, run, false) + (options.tsv ? "" : "\n");
    }
    text += table(log, cols, options, 0, true);
    return true;
}

}  // namespace pilro::log
