#include "reply_index.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "../capture/capture_log.h"

namespace pilro::stub {
namespace {

namespace capture = pilro::capture;

// A word at a time: every request is hashed as the capture is read, and again as it comes.
std::uint64_t mix(std::uint64_t h, std::string_view bytes) noexcept {
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    h ^= n * 0x9E3779B97F4A7C15u;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * 0xFF51AFD7ED558CCDu;
        h ^= (h >> 29);
    }
    std::uint64_t rest = 0;
    if (n > 0) {
        std::memcpy(&rest, p, n);
    }
    h = (h ^ rest) * 0xC4CEB9FE1A85EC53u;
    return h ^ (h >> 32);
}

char lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether the header line's name (before its first colon) is one that the pattern names.
bool named(std::string_view line, const header_pattern& pattern) noexcept {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string_view name = pattern.lower_name;
    if (pattern.prefix ? colon < name.size() : colon != name.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (lower(line[i]) != name[i]) {
            return false;
        }
    }
    return true;
}

using patterns = std::vector<header_pattern>;

// The lines of a request that the fallback compares, each with its CR LF: all but the header
// lines (from the second line up to the first empty one) that left_out names.
class kept_lines {
  public:
    kept_lines(std::string_view text, const patterns& left_out) noexcept
        : text_(text), left_out_(left_out) {}

    bool next(std::string_view& line) noexcept {
        while (at_ < text_.size()) {
            const std::size_t end = text_.find("\r\n", at_);
            const std::size_t size =
                end == std::string_view::npos ? text_.size() - at_ : end + 2 - at_;
            line = text_.substr(at_, size);
            const bool first = at_ == 0;
            at_ += size;
            if (first || !in_headers_) {
                return true;
            }
            if (line == "\r\n") {
                in_headers_ = false;
                return true;
            }
            if (!left_out(line)) {
                return true;
            }
        }
        return false;
    }

  private:
    bool left_out(std::string_view line) const noexcept {
        for (const header_pattern& pattern : left_out_) {
            if (named(line, pattern)) {
                return true;
            }
        }
        return false;
    }

    std::string_view text_;
    const patterns& left_out_;
    std::size_t at_ = 0;
    bool in_headers_ = true;
};

template <bool reduced>
std::uint64_t hash_of(std::string_view request, const patterns& left_out) noexcept {
    if (!reduced) {
        return mix(0, request);
    }
    std::uint64_t h = 1;
    kept_lines lines(request, left_out);
    for (std::string_view line; lines.next(line);) {
        h = mix(h, line);
    }
    return h;
}

template <bool reduced>
bool same(std::string_view a, std::string_view b, const patterns& left_out) noexcept {
    if (!reduced) {
        return a == b;
    }
    kept_lines in_a(a, left_out);
    kept_lines in_b(b, left_out);
    for (;;) {
        std::string_view line_a;
        std::string_view line_b;
        const bool more_a = in_a.next(line_a);
        if (more_a != in_b.next(line_b)) {
            return false;
        }
        if (!more_a) {
            return true;
        }
        if (line_a != line_b) {
            return false;
        }
    }
}

bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r';
}

}  // namespace

std::vector<header_pattern> read_ignore_file(std::string_view text) {
    constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
    if (text.substr(0, byte_order_mark.size()) == byte_order_mark) {
        text.remove_prefix(byte_order_mark.size());
    }
    std::vector<header_pattern> found;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        while (!line.empty() && is_blank(line.front())) {
            line.remove_prefix(1);
        }
        while (!line.empty() && is_blank(line.back())) {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.back() == ':') {
            line.remove_suffix(1);
        }
        const bool prefix = !line.empty() && line.back() == '*';
        if (prefix) {
            line.remove_suffix(1);
        }
        std::string name(line);
        for (char& c : name) {
            c = lower(c);
        }
        found.push_back({std::move(name), prefix});
    }
    return found;
}

std::string_view other_protocol(std::string_view request) noexcept {
    const std::string_view line = request.substr(0, request.find("\r\n"));
    if (!capture::is_request_line(line)) {
        return {};
    }
    const std::string_view protocol = line.substr(line.rfind(' ') + 1);
    constexpr std::string_view saori = "saori/";
    if (protocol.size() <= saori.size()) {
        return protocol;
    }
    for (std::size_t i = 0; i < saori.size(); ++i) {
        if (lower(protocol[i]) != saori[i]) {
            return protocol;
        }
    }
    return {};
}

reply_index::reply_index(std::string_view log, std::vector<header_pattern> ignored)
    : left_out_{{"sender", false}, {"securitylevel", false}} {
    left_out_.insert(left_out_.end(), std::make_move_iterator(ignored.begin()),
                     std::make_move_iterator(ignored.end()));
    {
        const std::vector<capture::run> runs = capture::split_runs(log, &summary_.overlapping);
        summary_.pilro_log = capture::holds_pilro_entries(log, runs);
        std::size_t paired = 0;
        for (const capture::run& run : runs) {
            for (const capture::entry& e : run.entries) {
                paired += e.request != capture::no_request ? 1 : 0;
            }
        }
        pairs_.reserve(paired);
        std::vector<std::size_t> reply_to;
        for (const capture::run& run : runs) {
            // Each request's reply, by the request's index in the run.
            reply_to.assign(run.entries.size(), capture::no_request);
            for (std::size_t k = 0; k < run.entries.size(); ++k) {
                const capture::entry& e = run.entries[k];
                summary_.damaged += e.kind == capture::entry_kind::damaged ? 1 : 0;
                summary_.cut_short = summary_.cut_short || e.kind == capture::entry_kind::cut_short;
                if (e.request != capture::no_request) {
                    reply_to[e.request] = k;
                }
            }
            for (std::size_t k = 0; k < run.entries.size(); ++k) {
                if (reply_to[k] == capture::no_request) {
                    continue;
                }
                const capture::reply r = capture::read_reply(log, run.entries[reply_to[k]]);
                pairs_.push_back({capture::entry_bytes(log, run.entries[k]),
                                  {r.block, r.has_length, r.length, r.bytes}});
            }
        }
        // The runs go before the tables come, so that the two are never held at once.
    }
    summary_.replies = pairs_.size();
    build<false>(exact_);
    const std::vector<std::uint32_t> reduced_of_pair = build<true>(reduced_);
    summary_.requests = exact_.keys.size();
    // A request that matches exactly counts by its reduced bytes too, without hashing them.
    reduced_of_.resize(exact_.keys.size());
    for (std::size_t i = 0; i < exact_.keys.size(); ++i) {
        reduced_of_[i] = reduced_of_pair[exact_.keys[i].sample];
    }
}

template <bool reduced>
std::vector<std::uint32_t> reply_index::build(table& t) {
    std::size_t capacity = 16;
    while (capacity < 2 * pairs_.size()) {
        capacity *= 2;
    }
    t.slots.assign(capacity, 0);
    // Each pair's key, then the pairs of each key together, in capture order.
    std::vector<std::uint32_t> key_of(pairs_.size());
    for (std::uint32_t i = 0; i < pairs_.size(); ++i) {
        const std::uint64_t h = hash_of<reduced>(pairs_[i].request, left_out_);
        std::size_t slot = static_cast<std::size_t>(h) & (capacity - 1);
        for (; t.slots[slot] != 0; slot = (slot + 1) & (capacity - 1)) {
            const table::key& k = t.keys[t.slots[slot] - 1];
            if (k.hash == h &&
                same<reduced>(pairs_[k.sample].request, pairs_[i].request, left_out_)) {
                break;
            }
        }
        if (t.slots[slot] == 0) {
            t.keys.push_back({h, i, 0, 0});
            t.slots[slot] = static_cast<std::uint32_t>(t.keys.size());
        }
        key_of[i] = t.slots[slot] - 1;
        ++t.keys[key_of[i]].count;
    }
    std::uint32_t first = 0;
    for (table::key& k : t.keys) {
        k.first = first;
        first += k.count;
        k.count = 0;
    }
    t.order.resize(pairs_.size());
    for (std::uint32_t i = 0; i < pairs_.size(); ++i) {
        table::key& k = t.keys[key_of[i]];
        t.order[k.first + k.count++] = i;
    }
    t.keys.shrink_to_fit();
    t.seen.reset(new std::atomic<std::uint32_t>[t.keys.size()]);
    for (std::size_t i = 0; i < t.keys.size(); ++i) {
        t.seen[i].store(0, std::memory_order_relaxed);
    }
    return key_of;
}

template <bool reduced>
std::uint32_t reply_index::find(const table& t, std::string_view request) const noexcept {
    const std::uint64_t h = hash_of<reduced>(request, left_out_);
    const std::size_t mask = t.slots.size() - 1;
    for (std::size_t slot = static_cast<std::size_t>(h) & mask; t.slots[slot] != 0;
         slot = (slot + 1) & mask) {
        const std::uint32_t number = t.slots[slot] - 1;
        const table::key& k = t.keys[number];
        if (k.hash == h && same<reduced>(pairs_[k.sample].request, request, left_out_)) {
            return number;
        }
    }
    return no_key;
}

const captured_reply* reply_index::next(table& t, std::uint32_t number) noexcept {
    const table::key& k = t.keys[number];
    // Counts up to the last reply and stays there, so that it never wraps round to the first.
    std::uint32_t seen = t.seen[number].load();
    while (seen < k.count && !t.seen[number].compare_exchange_weak(seen, seen + 1)) {
    }
    return &pairs_[t.order[k.first + (seen < k.count ? seen : k.count - 1)]].reply;
}

const captured_reply* reply_index::answer(std::string_view request) noexcept {
    const std::uint32_t exact = find<false>(exact_, request);
    const std::uint32_t reduced =
        exact != no_key ? reduced_of_[exact] : find<true>(reduced_, request);
    const captured_reply* fallback = reduced != no_key ? next(reduced_, reduced) : nullptr;
    return exact != no_key ? next(exact_, exact) : fallback;
}

void* reply_block(const captured_reply& reply, long* length, void* (*alloc)(std::size_t)) noexcept {
    const std::size_t n = reply.bytes.size();
    long long given = reply.has_length ? reply.length : static_cast<long long>(n);
    if (static_cast<long long>(static_cast<long>(given)) != given) {
        given = static_cast<long long>(n);
    }
    char* block = nullptr;
    if (reply.block) {
        std::size_t size = n;
        if (given > static_cast<long long>(n) &&
            given <= static_cast<long long>(longest_padded_reply)) {
            size = static_cast<std::size_t>(given);
        }
        block = static_cast<char*>(alloc(size + 1));
        if (block == nullptr && size > n) {
            size = n;
            block = static_cast<char*>(alloc(size + 1));
        }
        if (block == nullptr) {
            given = 0;
        } else {
            if (n > 0) {
                std::memcpy(block, reply.bytes.data(), n);
            }
            std::memset(block + n, 0, size - n + 1);
        }
    }
    if (length != nullptr) {
        *length = static_cast<long>(given);
    }
    return block;
}

}  // namespace pilro::stub
