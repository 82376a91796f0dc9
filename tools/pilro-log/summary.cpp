#include "summary.h"

#include <algorithm>
#include <charconv>
#include <cstring>
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
// many, of each sort there is. The census keeps them in the log's order, so by run.
std::vector<std::pair<std::uint64_t, const char* const*>> mark_counts(const capture::census& c,
                                                                      std::size_t run, bool all) {
    static const char* const names[5][2] = {
        {"note", "notes"},
        {"damaged entry", "damaged entries"},
        {"reply to no request", "replies to no request"},
        {"reply to an unlogged request", "replies to an unlogged request"},
        {"cut-short entry", "cut-short entries"}};
    std::uint64_t counts[5] = {0, 0, 0, 0, 0};
    auto first = c.marks().begin();
    auto last = c.marks().end();
    if (!all) {
        const auto by_run = [](const capture::mark& m, std::size_t r) { return m.run < r; };
        first = std::lower_bound(first, last, run, by_run);
        last = std::lower_bound(first, last, run + 1, by_run);
    }
    for (; first != last; ++first) {
        const capture::mark& m = *first;
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

// A cell of a row: a number, or "-" where there is none.
struct cell {
    std::uint64_t n;
    bool none;
};

// The cell's text, made in room where it is a number.
std::string_view cell_text(const cell& c, char (&room)[20]) {
    if (c.none) {
        return "-";
    }
    return std::string_view(
        room, static_cast<std::size_t>(std::to_chars(room, room + sizeof room, c.n).ptr - room));
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
    // The cells of a row, into cells, which has one per name.
    void fill(const capture::summary_row& row, std::vector<cell>& cells) const {
        cell* at = cells.data();
        *at++ = {row.count, false};
        if (replies) {
            for (const std::uint64_t n : row.statuses) {
                *at++ = {n, false};
            }
            *at++ = {row.null_replies, false};
            *at++ = {row.unanswered, false};
            for (const std::uint64_t us : {row.total_us, row.median_us, row.p95_us, row.max_us}) {
                *at++ = {us, row.timed == 0};
            }
        }
        *at++ = {row.bytes_in, false};
        if (replies) {
            *at = {row.bytes_out, false};
        }
    }
    std::vector<int> statuses;
    bool replies;
    std::vector<std::string> names;
};

// Text on its way out, handed on a part at a time: a summary of a log with many kinds is
// large.
class output {
  public:
    explicit output(const summary_sink& sink) : sink_(sink) { buffer_.reserve(part + part / 4); }
    // Where text is to be appended; a line at a time, then done().
    std::string& text() { return buffer_; }
    void done() {
        if (buffer_.size() > part) {
            flush();
        }
    }
    bool flush() {
        ok_ = ok_ && sink_(buffer_);
        buffer_.clear();
        return ok_;
    }

  private:
    static constexpr std::size_t part = 1u << 20;
    const summary_sink& sink_;
    std::string buffer_;
    bool ok_ = true;
};

// One table: the exchanges of run `run` (from 0), or of all runs.
void table(output& out, const counted_log& log, const columns& cols, const summary_options& options,
           const std::vector<std::uint32_t>& name_ranks, std::size_t run, bool all) {
    const capture::census& c = log.census;
    const std::size_t first = all ? 0 : c.run_start(run);
    const std::size_t last = all ? c.exchanges().size() : c.run_start(run + 1);
    const capture::summary_table t(c, first, last, options.order, name_ranks);
    const std::string name = all ? "all" : std::to_string(run + 1);
    const auto marks = mark_counts(c, run, all);
    capture::summary_row row;
    std::vector<cell> cells(cols.names.size());
    std::string& text = out.text();
    char room[20];
    if (options.tsv) {
        const auto line = [&](const char* what, std::string_view kind) {
            text += name;
            text += '\t';
            text += what;
            text += '\t';
            text += kind;
            for (const cell& one : cells) {
                text += '\t';
                text += cell_text(one, room);
            }
            text += '\n';
            out.done();
        };
        for (std::size_t i = 0; i < t.size(); ++i) {
            t.row(i, row);
            cols.fill(row, cells);
            line("request", c.kind_name(row.kind));
        }
        cols.fill(t.total(), cells);
        line("total", "");
        for (const auto& [count, names] : marks) {
            cells.assign(1, {count, false});
            line(names[0], "");
        }
        return;
    }
    const capture::summary_row& total = t.total();
    std::string head = (all ? std::string("all runs: ") : "run " + name + ": ") +
                       (t.size() == 0 ? "no requests"
                                      : plural(total.count, "request", "requests") + " of " +
                                            plural(t.size(), "kind", "kinds"));
    if (cols.replies) {
        head += ", " + plural(total.count - total.unanswered, "reply", "replies");
    }
    for (const auto& [count, names] : marks) {
        head += ", " + plural(count, names[0], names[1]);
    }
    text += head;
    text += '\n';
    if (t.size() == 0) {
        return;
    }
    // Numbers right-aligned, the kind last.
    std::vector<std::size_t> widths(cols.names.size());
    for (std::size_t k = 0; k < widths.size(); ++k) {
        widths[k] = cols.names[k].size();
    }
    const auto widen = [&](const capture::summary_row& one) {
        cols.fill(one, cells);
        for (std::size_t k = 0; k < widths.size(); ++k) {
            widths[k] = std::max(widths[k], cell_text(cells[k], room).size());
        }
    };
    for (std::size_t i = 0; i < t.size(); ++i) {
        t.row(i, row);
        widen(row);
    }
    widen(total);
    for (std::size_t k = 0; k < widths.size(); ++k) {
        text.append(widths[k] - cols.names[k].size(), ' ');
        text += cols.names[k];
        text += "  ";
    }
    text += "kind\n";
    std::size_t numbers = 0;
    for (const std::size_t width : widths) {
        numbers += width + 2;
    }
    const auto line = [&](const capture::summary_row& one, std::string_view kind) {
        cols.fill(one, cells);
        // Blanks, then each number written to end where its column ends: one call to make
        // room rather than several per cell, for tables of hundreds of thousands of rows.
        const std::size_t at = text.size();
        text.resize(at + numbers, ' ');
        char* column_end = text.data() + at;
        for (std::size_t k = 0; k < widths.size(); ++k) {
            column_end += widths[k];
            const std::string_view number = cell_text(cells[k], room);
            std::memcpy(column_end - number.size(), number.data(), number.size());
            column_end += 2;
        }
        text += kind;
        text += '\n';
        out.done();
    };
    for (std::size_t i = 0; i < t.size(); ++i) {
        t.row(i, row);
        line(row, c.kind_name(row.kind));
    }
    for (const std::size_t width : widths) {
        text.append(width, '-');
        text += "  ";
    }
    text += "-----\n";
    line(total, "total");
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
        out.text() += "run\twhat\tkind";
        for (const std::string& name : cols.names) {
            out.text() += '\t';
            out.text() += name;
        }
        out.text() += '\n';
    }
    const std::vector<std::uint32_t> name_ranks = c.name_ranks();
    if (options.has_run) {
        table(out, log, cols, options, name_ranks, only, false);
        return out.flush();
    }
    for (std::size_t run = 0; run < c.runs(); ++run) {
        table(out, log, cols, options, name_ranks, run, false);
        if (!options.tsv) {
            out.text() += '\n';
        }
    }
    table(out, log, cols, options, name_ranks, 0, true);
    return out.flush();
}

}  // namespace pilro::log
