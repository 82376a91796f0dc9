#include "summary.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace pilro::log {
namespace {

namespace capture = pilro::capture;

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The entries of a run (or of all) that are no part of an exchange: what they are, and how
// many, of each sort there is.
std::vector<std::pair<std::uint64_t, const char* const*>> mark_counts(const capture::census& c,
                                                                      std::size_t run, bool all) {
    static const char* const names[5][2] = {
        {"note", "notes"},
        {"damaged entry", "damaged entries"},
        {"reply to no request", "replies to no request"},
        {"reply to an unlogged request", "replies to an unlogged request"},
        {"cut-short entry", "cut-short entries"}};
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
    std::vector<std::pair<std::uint64_t, const char* const*>> found;
    for (std::size_t k = 0; k < 5; ++k) {
        if (counts[k] > 0) {
            found.emplace_back(counts[k], names[k]);
        }
    }
    return found;
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

// Text on its way out, handed on a part at a time: a summary of a log with many kinds is
// large.
class output {
  public:
    explicit output(const summary_sink& sink) : sink_(sink) {}
    output& operator<<(const std::string& text) {
        buffer_ += text;
        if (buffer_.size() > (1u << 20)) {
            flush();
        }
        return *this;
    }
    bool flush() {
        ok_ = ok_ && sink_(buffer_);
        buffer_.clear();
        return ok_;
    }

  private:
    const summary_sink& sink_;
    std::string buffer_;
    bool ok_ = true;
};

// One table: the exchanges of run `run` (from 0), or of all runs.
void table(output& out, const counted_log& log, const columns& cols, const summary_options& options,
           std::size_t run, bool all) {
    const capture::census& c = log.census;
    const std::size_t first = all ? 0 : c.run_start(run);
    const std::size_t last = all ? c.exchanges().size() : c.run_start(run + 1);
    const capture::summary_table t = capture::summarize(c, first, last, options.order);
    const std::string name = all ? "all" : std::to_string(run + 1);
    const auto marks = mark_counts(c, run, all);
    if (options.tsv) {
        const auto line = [&](const std::string& what, const std::string& kind,
                              const std::vector<std::string>& cells) {
            std::string text = name + "\t" + what + "\t" + kind;
            for (const std::string& cell : cells) {
                text += "\t" + cell;
            }
            out << text + "\n";
        };
        for (const capture::summary_row& row : t.rows) {
            line("request", c.kinds()[row.kind], cols.cells(row));
        }
        line("total", "", cols.cells(t.total));
        for (const auto& [count, names] : marks) {
            line(names[0], "", {std::to_string(count)});
        }
        return;
    }
    std::string head = (all ? std::string("all runs: ") : "run " + name + ": ") +
                       (t.rows.empty() ? "no requests"
                                       : plural(t.total.count, "request", "requests") + " of " +
                                             plural(t.rows.size(), "kind", "kinds"));
    if (cols.replies) {
        head += ", " + plural(t.total.count - t.total.unanswered, "reply", "replies");
    }
    for (const auto& [count, names] : marks) {
        head += ", " + plural(count, names[0], names[1]);
    }
    out << head + "\n";
    if (t.rows.empty()) {
        return;
    }
    // Numbers right-aligned, the kind last.
    std::vector<std::size_t> widths(cols.names.size());
    for (std::size_t k = 0; k < widths.size(); ++k) {
        widths[k] = cols.names[k].size();
    }
    const auto widen = [&](const std::vector<std::string>& cells) {
        for (std::size_t k = 0; k < widths.size(); ++k) {
            widths[k] = std::max(widths[k], cells[k].size());
        }
    };
    for (const capture::summary_row& row : t.rows) {
        widen(cols.cells(row));
    }
    widen(cols.cells(t.total));
    const auto line = [&](const std::vector<std::string>& cells, const std::string& kind) {
        std::string text;
        for (std::size_t k = 0; k < widths.size(); ++k) {
            text += std::string(widths[k] - cells[k].size(), ' ') + cells[k] + "  ";
        }
        out << text + kind + "\n";
    };
    line(cols.names, "kind");
    for (const capture::summary_row& row : t.rows) {
        line(cols.cells(row), c.kinds()[row.kind]);
    }
    std::string rule;
    for (const std::size_t width : widths) {
        rule += std::string(width, '-') + "  ";
    }
    out << rule + "-----\n";
    line(cols.cells(t.total), "total");
}

}  // namespace

bool write_summary(const counted_log& log, const summary_options& options, const summary_sink& sink,
                   std::string& error) {
    const capture::census& c = log.census;
    const columns cols(c);
    std::size_t only = 0;
    if (options.has_run && !capture::find_run(c.runs(), options.run, only, error)) {
        return false;
    }
    output out(sink);
    if (options.tsv) {
        std::string head = "run\twhat\tkind";
        for (const std::string& name : cols.names) {
            head += "\t" + name;
        }
        out << head + "\n";
    }
    if (options.has_run) {
        table(out, log, cols, options, only, false);
        return out.flush();
    }
    for (std::size_t run = 0; run < c.runs(); ++run) {
        table(out, log, cols, options, run, false);
        if (!options.tsv) {
            out << "\n";
        }
    }
    table(out, log, cols, options, 0, true);
    return out.flush();
}

}  // namespace pilro::log
