#include "capture_log.h"

#include <cstdint>
#include <limits>

namespace pilro::capture {
namespace {

constexpr std::string_view empty_line_end = "\r\n\r\n";
constexpr std::string_view attach_text = "DllMain(Attach)\r\n\r\n";
constexpr std::string_view detach_text = "DllMain(Detach)\r\n\r\n";
constexpr std::string_view unload_text = "unload()\r\n\r\n";
constexpr std::string_view load_start = "load() ";
constexpr std::string_view reply_start = "reply(";
constexpr std::string_view note_start = "relay() ";

bool starts_with(std::string_view text, std::string_view start) {
    return text.compare(0, start.size(), start) == 0;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Reads `word` at text[at...]; advances past it.
bool read_word(std::string_view text, std::size_t& at, std::string_view word) {
    if (text.compare(at, word.size(), word) != 0) {
        return false;
    }
    at += word.size();
    return true;
}

// Reads a decimal of 1 to 19 digits at text[at...]; advances past it.
bool read_number(std::string_view text, std::size_t& at, std::uint64_t& value) {
    const std::size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 19) {
        value = value * 10 + static_cast<std::uint64_t>(text[at++] - '0');
    }
    return at > start && (at == text.size() || text[at] < '0' || text[at] > '9');
}

// A reply entry's first line at the start of text, with the entry's size; false when text
// does not start with one.
struct reply_line {
    reply says;
    std::size_t line_size;
    std::size_t entry_size;
};
bool read_reply_line(std::string_view text, reply_line& line) {
    reply& r = line.says;
    std::size_t at = 0;
    std::uint64_t n = 0;
    if (!read_word(text, at, reply_start)) {
        return false;
    }
    r.paired = !read_word(text, at, "-");
    if ((r.paired && !read_number(text, at, r.request_end)) || !read_word(text, at, ") ") ||
        !read_number(text, at, r.microseconds) || !read_word(text, at, " us, length ")) {
        return false;
    }
    r.has_length = !read_word(text, at, "-, ");
    if (r.has_length) {
        const bool negative = read_word(text, at, "-");
        constexpr auto most = static_cast<std::uint64_t>(std::numeric_limits<long long>::max());
        if (!read_number(text, at, n) || n > most + (negative ? 1 : 0) ||
            !read_word(text, at, ", ")) {
            return false;
        }
        r.length = negative ? static_cast<long long>(0 - n) : static_cast<long long>(n);
    }
    r.block = !read_word(text, at, "no block\r\n");
    if (r.block && (!read_number(text, at, n) || !read_word(text, at, " bytes\r\n"))) {
        return false;
    }
    line.line_size = at;
    // More bytes than there are cannot be there: the entry is cut short, whatever N is.
    line.entry_size = !r.block          ? at + 2
                      : n > text.size() ? std::string_view::npos
                                        : at + n + empty_line_end.size();
    return true;
}

}  // namespace

entry entry_at(std::string_view log, std::size_t at, bool growing, std::uint64_t base) {
    const std::string_view rest = log.substr(at);
    if (starts_with(rest, attach_text)) {
        return {entry_kind::attach, at, attach_text.size()};
    }
    if (starts_with(rest, detach_text)) {
        return {entry_kind::detach, at, detach_text.size()};
    }
    if (starts_with(rest, unload_text)) {
        return {entry_kind::unload, at, unload_text.size()};
    }
    reply_line line{};
    if (read_reply_line(rest, line) && (!line.says.paired || line.says.request_end <= base + at)) {
        if (line.entry_size > rest.size()) {
            return {entry_kind::cut_short, at, rest.size()};
        }
        if (rest.compare(line.entry_size - 2, 2, "\r\n") == 0 &&
            rest.compare(line.entry_size - 4, 2, "\r\n") == 0) {
            return {entry_kind::reply, at, line.entry_size};
        }
    }
    entry next{entry_kind::request, at, 0};
    if (starts_with(rest, load_start)) {
        next.kind = entry_kind::load;
    } else if (starts_with(rest, note_start)) {
        next.kind = entry_kind::note;
    }
    // The load data may itself hold CR LF; only an empty line ends an entry.
    const std::size_t end = rest.find(empty_line_end);
    std::size_t size = end == std::string_view::npos ? rest.size() : end + empty_line_end.size();
    if (next.kind == entry_kind::request) {
        // A request without its closing empty line ends where the reply to it begins.
        for (std::size_t p = rest.find(reply_start, 1); p < size;
             p = rest.find(reply_start, p + 1)) {
            if (read_reply_line(rest.substr(p), line) && line.says.paired &&
                line.says.request_end == base + at + p) {
                return {entry_kind::request, at, p};
            }
        }
    }
    if (end == std::string_view::npos) {
        return {entry_kind::cut_short, at, rest.size()};
    }
    next.size = size;
    // Load data that ends in line breaks leaves them before the closing empty line. No entry
    // starts with CR LF (a request starts with its request line), so those that follow the
    // first empty line are still the load entry's.
    while (next.kind == entry_kind::load && rest.compare(next.size, 2, "\r\n") == 0) {
        next.size += 2;
    }
    // Bytes still to come may hold more of them.
    const std::string_view after = rest.substr(next.size);
    if (growing && next.kind == entry_kind::load && (after.empty() || after == "\r")) {
        return {entry_kind::cut_short, at, rest.size()};
    }
    return next;
}

std::vector<entry> split_entries(std::string_view log) {
    std::vector<entry> entries;
    for (std::size_t at = 0; at < log.size(); at += entries.back().size) {
        entries.push_back(entry_at(log, at));
    }
    return entries;
}

bool run_tracker::opens_run(entry_kind kind) {
    // An attach inside a run: the run before it never had its detach entry.
    const bool opens = !open_ || kind == entry_kind::attach;
    open_ = kind != entry_kind::detach;
    if (kind == entry_kind::detach) {
        overlapping_ = overlapping_ || after_detach_;
        after_detach_ = true;
    } else if (kind == entry_kind::attach) {
        after_detach_ = false;
    }
    return opens;
}

std::vector<run> split_runs(std::string_view log, bool* overlapping) {
    std::vector<run> runs;
    run_tracker tracker;
    for (const entry& e : split_entries(log)) {
        if (tracker.opens_run(e.kind)) {
            runs.emplace_back();
        }
        runs.back().entries.push_back(e);
    }
    if (overlapping != nullptr) {
        *overlapping = tracker.overlapping();
    }
    return runs;
}

const char shared_log_warning[] =
    "two runs were open at once (a detach entry follows another with no attach entry between "
    "them): several module files share this log, or processes used one at the same time, and "
    "its runs cannot be told apart. Give each module file a folder of its own.";

bool holds_pilro_entries(std::string_view log, const std::vector<run>& runs) {
    for (const run& r : runs) {
        for (const entry& e : r.entries) {
            if (e.kind != entry_kind::request && e.kind != entry_kind::cut_short) {
                return true;
            }
            const std::string_view bytes = entry_bytes(log, e);
            if (bytes.substr(0, bytes.find("\r\n")).find(" SAORI/") != std::string_view::npos) {
                return true;
            }
        }
    }
    return false;
}

std::string_view entry_bytes(std::string_view log, const entry& e) {
    return log.substr(e.offset, e.size);
}

std::string_view load_data(std::string_view log, const entry& e) {
    std::string_view bytes = entry_bytes(log, e);
    bytes.remove_prefix(load_start.size());
    bytes.remove_suffix(empty_line_end.size());
    return bytes;
}

reply read_reply(std::string_view log, const entry& e) {
    const std::string_view bytes = entry_bytes(log, e);
    reply_line line{};
    read_reply_line(bytes, line);
    line.says.bytes =
        line.says.block
            ? bytes.substr(line.line_size, e.size - line.line_size - empty_line_end.size())
            : std::string_view();
    return line.says;
}

std::string_view note_text(std::string_view log, const entry& e) {
    std::string_view bytes = entry_bytes(log, e);
    bytes.remove_prefix(note_start.size());
    bytes.remove_suffix(empty_line_end.size());
    return bytes;
}

const char* kind_name(entry_kind kind) {
    switch (kind) {
        case entry_kind::attach:
            return "attach";
        case entry_kind::detach:
            return "detach";
        case entry_kind::load:
            return "load";
        case entry_kind::unload:
            return "unload";
        case entry_kind::request:
            return "request";
        case entry_kind::reply:
            return "reply";
        case entry_kind::note:
            return "note";
        case entry_kind::cut_short:
            break;
    }
    return "cut-short";
}

std::string request_charset(std::string_view request) {
    constexpr std::string_view name = "charset";
    std::size_t at = request.find("\r\n");
    while (at != std::string_view::npos) {
        at += 2;
        const std::size_t end = request.find("\r\n", at);
        const std::string_view line =
            request.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        if (line.empty()) {
            break;
        }
        const std::size_t colon = line.find(':');
        if (colon == name.size()) {
            bool same = true;
            for (std::size_t i = 0; i < name.size(); ++i) {
                same = same && lower(line[i]) == name[i];
            }
            if (same) {
                return std::string(trimmed(line.substr(colon + 1)));
            }
        }
        at = end;
    }
    return std::string();
}

bool parse_run_number(std::string_view text, long long& number) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 18) {
        return false;
    }
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value == 0) {
        return false;
    }
    number = negative ? -value : value;
    return true;
}

bool find_run(std::size_t run_count, long long number, std::size_t& index, std::string& error) {
    const auto count = static_cast<long long>(run_count);
    if (number > count || -number > count) {
        error = "there is no run " + std::to_string(number) + ": the log holds " +
                std::to_string(run_count) + (run_count == 1 ? " run" : " runs");
        return false;
    }
    index = static_cast<std::size_t>(number > 0 ? number - 1 : count + number);
    return true;
}

}  // namespace pilro::capture
