#include "census.h"

#include <algorithm>
#include <utility>

namespace pilro::capture {
namespace {

bool starts_with(std::string_view text, std::string_view start) {
    return text.compare(0, start.size(), start) == 0;
}

// Where, among n sorted times, the smallest that at least percent of them do not exceed is.
std::size_t nearest_rank(std::size_t n, std::size_t percent) {
    return (percent * n + 99) / 100 - 1;
}

// The row's times from n times, ascending, of which time(k) gives the k-th.
template <typename Time>
void add_times(summary_row& row, std::size_t n, const Time& time) {
    row.timed = n;
    if (n == 0) {
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        row.total_us += time(i);
    }
    row.median_us = time(nearest_rank(n, 50));
    row.p95_us = time(nearest_rank(n, 95));
    row.max_us = time(n - 1);
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

template <typename TextOf>
std::uint32_t census::string_index::find_or_add(std::string_view text, const TextOf& text_of,
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
        name_(kind, charset, names_);
        name_ends_.push_back(names_.size());
    }
    return found;
}

void census::finish() {
    // Released, not merely emptied: assigning an empty string or "{}" keeps the room.
    by_bytes_ = string_index();
    std::string().swap(keys_);
    std::vector<std::size_t>().swap(key_ends_);
    // Kinds whose bytes differ may read the same: another spelling of the charset's name.
    std::vector<std::uint32_t> merged(kind_count());
    std::vector<std::uint32_t> firsts;
    string_index by_name;
    for (std::uint32_t k = 0; k < kind_count(); ++k) {
        bool added = false;
        merged[k] = by_name.find_or_add(
            kind_name(k), [&](std::uint32_t id) { return kind_name(firsts[id]); }, added);
        if (added) {
            firsts.push_back(k);
        }
    }
    if (firsts.size() == kind_count()) {
        return;
    }
    std::string names;
    std::vector<std::size_t> ends;
    for (const std::uint32_t k : firsts) {
        names += kind_name(k);
        ends.push_back(names.size());
    }
    names_ = std::move(names);
    name_ends_ = std::move(ends);
    for (exchange& x : exchanges_) {
        x.kind = merged[x.kind];
    }
}

std::vector<std::uint32_t> census::name_ranks() const {
    std::vector<std::uint32_t> by_name(kind_count());
    for (std::uint32_t k = 0; k < by_name.size(); ++k) {
        by_name[k] = k;
    }
    std::sort(by_name.begin(), by_name.end(),
              [&](std::uint32_t a, std::uint32_t b) { return kind_name(a) < kind_name(b); });
    std::vector<std::uint32_t> ranks(by_name.size());
    for (std::uint32_t r = 0; r < by_name.size(); ++r) {
        ranks[by_name[r]] = r;
    }
    return ranks;
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

summary_table::summary_table(const census& c, std::size_t first, std::size_t last, row_order order,
                             const std::vector<std::uint32_t>& name_ranks)
    : census_(c), statuses_(c.statuses().size()), column_of_(1001) {
    const std::vector<exchange>& all = c.exchanges();
    const std::vector<int> columns = c.statuses();
    for (std::size_t k = 0; k < columns.size(); ++k) {
        column_of_[columns[k] == no_status ? 1000 : static_cast<std::size_t>(columns[k])] = k;
    }
    // By kind, then by time. A request without a reply has the time 0, so those of a kind come
    // among its first, before any time but 0: its times are the last of its exchanges.
    by_kind_.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) {
        by_kind_.push_back({all[i].kind, static_cast<std::uint32_t>(i), all[i].microseconds});
    }
    std::sort(by_kind_.begin(), by_kind_.end(), [](const by_kind& a, const by_kind& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.microseconds < b.microseconds;
    });
    kinds_.reserve(std::min(by_kind_.size(), c.kind_count()));
    start(total_);
    std::vector<std::uint64_t> times;
    for (std::size_t i = 0; i < by_kind_.size();) {
        kind_rows kind{0, static_cast<std::uint32_t>(i), 0, name_ranks[by_kind_[i].kind]};
        for (; i < by_kind_.size() && by_kind_[i].kind == by_kind_[kind.first].kind; ++i) {
            const exchange& x = all[by_kind_[i].exchange];
            count(total_, x);
            if (x.status != no_reply) {
                kind.total_us += x.microseconds;
                times.push_back(x.microseconds);
            }
        }
        kind.count = static_cast<std::uint32_t>(i - kind.first);
        kinds_.push_back(kind);
    }
    std::sort(times.begin(), times.end());
    add_times(total_, times.size(), [&](std::size_t k) { return times[k]; });
    std::sort(kinds_.begin(), kinds_.end(), [&](const kind_rows& a, const kind_rows& b) {
        if (order == row_order::count && a.count != b.count) {
            return a.count > b.count;
        }
        if (order != row_order::name && a.total_us != b.total_us) {
            return a.total_us > b.total_us;
        }
        if (order == row_order::time && a.count != b.count) {
            return a.count > b.count;
        }
        return a.rank < b.rank;
    });
}

void summary_table::start(summary_row& row) const {
    std::vector<std::uint64_t> statuses = std::move(row.statuses);
    row = summary_row();
    row.statuses = std::move(statuses);
    row.statuses.assign(statuses_, 0);
}

void summary_table::count(summary_row& row, const exchange& x) const {
    ++row.count;
    row.bytes_in += x.bytes_in;
    row.bytes_out += x.bytes_out;
    if (x.status == no_reply) {
        ++row.unanswered;
    } else if (x.status == null_reply) {
        ++row.null_replies;
    } else {
        ++row.statuses[column_of_[x.status == no_status ? 1000
                                                        : static_cast<std::size_t>(x.status)]];
    }
}

void summary_table::row(std::size_t i, summary_row& row) const {
    const kind_rows& kind = kinds_[i];
    const by_kind* const exchanges = by_kind_.data() + kind.first;
    start(row);
    row.kind = exchanges[0].kind;
    for (std::size_t k = 0; k < kind.count; ++k) {
        count(row, census_.exchanges()[exchanges[k].exchange]);
    }
    // The times, ascending, after those without a reply.
    add_times(row, kind.count - row.unanswered,
              [&](std::size_t k) { return exchanges[row.unanswered + k].microseconds; });
}

}  // namespace pilro::capture
