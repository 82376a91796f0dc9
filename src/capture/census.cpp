#include "census.h"

#include <algorithm>
#include <utility>

namespace pilro::capture {
namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The value of the header line `name` among the request's header lines; false when it has none.
bool header_value(std::string_view request, std::string_view name, std::string_view& value) {
    std::size_t at = request.find("\r\n");
    while (at != std::string_view::npos) {
        at += 2;
        const std::size_t end = request.find("\r\n", at);
        const std::string_view line =
            request.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        if (line.empty()) {
            return false;
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && same_name(line.substr(0, colon), name)) {
            value = trimmed(line.substr(colon + 1));
            return true;
        }
        at = end;
    }
    return false;
}

bool starts_with(std::string_view text, std::string_view start) {
    return text.compare(0, start.size(), start) == 0;
}

// The smallest of the sorted times that at least percent of them do not exceed.
std::uint64_t nearest_rank(const std::uint64_t* sorted, std::size_t n, std::size_t percent) {
    return sorted[(percent * n + 99) / 100 - 1];
}

void add_times(summary_row& row, const std::uint64_t* sorted, std::size_t n) {
    row.timed = n;
    if (n == 0) {
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        row.total_us += sorted[i];
    }
    row.median_us = nearest_rank(sorted, n, 50);
    row.p95_us = nearest_rank(sorted, n, 95);
    row.max_us = sorted[n - 1];
}

}  // namespace

request_kind kind_of_request(std::string_view request) {
    request_kind kind;
    kind.line = request.substr(0, request.find("\r\n"));
    const std::string_view protocol = kind.line.substr(kind.line.rfind(' ') + 1);
    for (const auto& [prefix, header] :
         {std::pair<std::string_view, std::string_view>{"SHIORI/", "ID"},
          {"SAORI/", "Argument0"}}) {
        if (kind.line.find(' ') != std::string_view::npos && starts_with(protocol, prefix) &&
            header_value(request, header, kind.value)) {
            kind.header = header;
        }
    }
    kind.line_cut = kind.line.size() > kind_bytes;
    kind.value_cut = kind.value.size() > kind_bytes;
    kind.line = kind.line.substr(0, kind_bytes);
    kind.value = kind.value.substr(0, kind_bytes);
    return kind;
}

int reply_status(std::string_view reply) {
    const std::string_view line = reply.substr(0, reply.find("\r\n"));
    const std::size_t blank = line.find(' ');
    const std::size_t slash = line.find('/');
    if (blank == std::string_view::npos || slash == std::string_view::npos || slash > blank ||
        line.size() < blank + 4 || (line.size() > blank + 4 && line[blank + 4] != ' ')) {
        return no_status;
    }
    int code = 0;
    for (std::size_t i = blank + 1; i < blank + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return no_status;
        }
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

census::census(namer name) : name_(std::move(name)) {}

std::uint32_t census::kind_of(std::string_view request) {
    const request_kind kind = kind_of_request(request);
    const std::string charset = request_charset(request);
    key_.assign(kind.line).append(1, '\0').append(kind.header).append(1, '\0');
    key_.append(kind.value);
    // ASCII reads the same in every charset known here.
    if (std::any_of(key_.begin(), key_.end(), [](char c) { return (c & 0x80) != 0; })) {
        key_.append(1, '\0').append(charset);
    }
    bool added = false;
    const std::uint32_t found = by_bytes_.find_or_add(
        key_,
        [&](std::uint32_t k) {
            const std::size_t start = k > 0 ? key_ends_[k - 1] : 0;
            return std::string_view(keys_).substr(start, key_ends_[k] - start);
        },
        added);
    if (added) {
        keys_ += key_;
        key_ends_.push_back(keys_.size());
        names_.push_back(name_(kind, charset));
    }
    return found;
}

std::uint32_t census::string_index::find_or_add(
    std::string_view text, const std::function<std::string_view(std::uint32_t)>& text_of,
    bool& added) {
    if (2 * (hashes_.size() + 1) > slots_.size()) {
        // Grown to keep it at most half full.
        slots_.assign(std::max<std::size_t>(1024, 4 * slots_.size()), 0);
        for (std::uint32_t id = 0; id < hashes_.size(); ++id) {
            std::size_t at = hashes_[id] & (slots_.size() - 1);
            while (slots_[at] != 0) {
                at = (at + 1) & (slots_.size() - 1);
            }
            slots_[at] = id + 1;
        }
    }
    const std::size_t hash = std::hash<std::string_view>()(text);
    std::size_t at = hash & (slots_.size() - 1);
    for (; slots_[at] != 0; at = (at + 1) & (slots_.size() - 1)) {
        const std::uint32_t id = slots_[at] - 1;
        if (hashes_[id] == hash && text_of(id) == text) {
            added = false;
            return id;
        }
    }
    added = true;
    slots_[at] = static_cast<std::uint32_t>(hashes_.size()) + 1;
    hashes_.push_back(hash);
    return slots_[at] - 1;
}

void census::finish() {
    // Kinds whose bytes differ may read the same: another spelling of the charset's name.
    by_bytes_ = {};
    keys_ = {};
    key_ends_ = {};
    std::vector<std::uint32_t> merged(names_.size());
    std::vector<std::size_t> firsts;
    string_index by_name;
    for (std::size_t k = 0; k < names_.size(); ++k) {
        bool added = false;
        merged[k] = by_name.find_or_add(
            names_[k], [&](std::uint32_t id) { return std::string_view(names_[firsts[id]]); },
            added);
        if (added) {
            firsts.push_back(k);
        }
    }
    if (firsts.size() == names_.size()) {
        return;
    }
    std::vector<std::string> names;
    for (const std::size_t k : firsts) {
        names.push_back(std::move(names_[k]));
    }
    names_ = std::move(names);
    for (exchange& x : exchanges_) {
        x.kind = merged[x.kind];
    }
}

std::size_t census::add(const entry& e, std::string_view bytes, std::uint64_t file_offset) {
    const bool opens = tracker_.opens_run(e.kind);
    if (opens) {
        run_starts_.push_back(exchanges_.size());
        run_entries_.push_back(0);
    }
    const std::size_t answered = pairing_.next(e, bytes, file_offset, opens);
    pilro_ = pilro_ || is_pilro_entry(e, bytes);
    const auto run = static_cast<std::uint32_t>(run_starts_.size() - 1);
    const auto index = static_cast<std::uint32_t>(run_entries_.back()++);
    const std::size_t first = run_starts_.back();
    const auto requests_before = static_cast<std::uint32_t>(exchanges_.size() - first);
    if (e.kind == entry_kind::request) {
        exchanges_.push_back({kind_of(bytes), run, index, no_reply, 0, e.size, 0});
        return exchanges_.size() - 1;
    }
    if (e.kind == entry_kind::reply) {
        ++replies_;
        const reply says = read_reply(bytes, {entry_kind::reply, 0, e.size});
        if (answered != no_request) {
            // The exchanges of a run are in the order of their requests' entries.
            const auto found = std::lower_bound(
                exchanges_.begin() + static_cast<std::ptrdiff_t>(first), exchanges_.end(), answered,
                [](const exchange& x, std::size_t at) { return x.entry < at; });
            found->status = says.block ? reply_status(says.bytes) : null_reply;
            found->microseconds = says.microseconds;
            found->bytes_out = says.bytes.size();
            if (found->status >= 0 && found->status < 1000) {
                seen_statuses_[static_cast<std::size_t>(found->status)] = true;
            }
            no_status_seen_ = no_status_seen_ || found->status == no_status;
            return static_cast<std::size_t>(found - exchanges_.begin());
        }
        marks_.push_back({e.kind, run, index, requests_before, !says.paired, file_offset, e.size});
    } else if (e.kind == entry_kind::note || e.kind == entry_kind::damaged ||
               e.kind == entry_kind::cut_short) {
        marks_.push_back({e.kind, run, index, requests_before, false, file_offset, e.size});
    }
    return static_cast<std::size_t>(-1);
}

std::vector<int> census::statuses() const {
    std::vector<int> codes;
    for (std::size_t code = 0; code < seen_statuses_.size(); ++code) {
        if (seen_statuses_[code]) {
            codes.push_back(static_cast<int>(code));
        }
    }
    if (no_status_seen_) {
        codes.push_back(no_status);
    }
    return codes;
}

summary_table summarize(const census& c, std::size_t first, std::size_t last, row_order order) {
    const std::vector<exchange>& all = c.exchanges();
    const std::vector<int> columns = c.statuses();
    // By kind, then the timed ones by their times: each kind's times come sorted.
    std::vector<std::uint32_t> by_kind;
    by_kind.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) {
        by_kind.push_back(static_cast<std::uint32_t>(i));
    }
    const auto timed = [](const exchange& x) { return x.status != no_reply; };
    std::sort(by_kind.begin(), by_kind.end(), [&](std::uint32_t a, std::uint32_t b) {
        const exchange& x = all[a];
        const exchange& y = all[b];
        if (x.kind != y.kind) {
            return x.kind < y.kind;
        }
        if (timed(x) != timed(y)) {
            return timed(y);
        }
        return x.microseconds < y.microseconds;
    });
    std::vector<std::size_t> column_of(1001);
    for (std::size_t k = 0; k < columns.size(); ++k) {
        column_of[columns[k] == no_status ? 1000 : static_cast<std::size_t>(columns[k])] = k;
    }
    summary_table table;
    table.total.statuses.assign(columns.size(), 0);
    std::vector<std::uint64_t> times;
    std::vector<std::uint64_t> every_time;
    const auto count = [&](summary_row& row, const exchange& x) {
        ++row.count;
        row.bytes_in += x.bytes_in;
        row.bytes_out += x.bytes_out;
        if (x.status == no_reply) {
            ++row.unanswered;
        } else if (x.status == null_reply) {
            ++row.null_replies;
        } else {
            ++row.statuses[column_of[x.status == no_status ? 1000
                                                           : static_cast<std::size_t>(x.status)]];
        }
    };
    for (std::size_t i = 0; i < by_kind.size();) {
        summary_row row;
        row.kind = all[by_kind[i]].kind;
        row.statuses.assign(columns.size(), 0);
        times.clear();
        for (; i < by_kind.size() && all[by_kind[i]].kind == row.kind; ++i) {
            const exchange& x = all[by_kind[i]];
            count(row, x);
            count(table.total, x);
            if (timed(x)) {
                times.push_back(x.microseconds);
                every_time.push_back(x.microseconds);
            }
        }
        add_times(row, times.data(), times.size());
        table.rows.push_back(std::move(row));
    }
    std::sort(every_time.begin(), every_time.end());
    add_times(table.total, every_time.data(), every_time.size());
    const std::vector<std::string>& names = c.kinds();
    std::sort(table.rows.begin(), table.rows.end(),
              [&](const summary_row& a, const summary_row& b) {
                  if (order == row_order::count && a.count != b.count) {
                      return a.count > b.count;
                  }
                  if (order != row_order::name && a.total_us != b.total_us) {
                      return a.total_us > b.total_us;
                  }
                  if (order == row_order::time && a.count != b.count) {
                      return a.count > b.count;
                  }
                  return names[a.kind] < names[b.kind];
              });
    return table;
}

}  // namespace pilro::capture
