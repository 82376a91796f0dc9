#include "capture_log.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

namespace pilro::capture {
namespace {

constexpr std::string_view empty_line_end = "\r\n\r\n";
constexpr std::string_view attach_text = "DllMain(Attach)\r\n\r\n";
constexpr std::string_view detach_text = "DllMain(Detach)\r\n\r\n";
constexpr std::string_view unload_text = "unload()\r\n\r\n";
constexpr std::string_view load_start = "load() ";
// The relay's and the stub's entry for loadu, the load that takes the folder in UTF-8.
constexpr std::string_view loadu_start = "loadu() ";
constexpr std::string_view reply_start = "reply(";
// The relay's notes and the stub's.
constexpr std::string_view note_starts[] = {"relay() ", "stub() "};

bool starts_with(std::string_view text, std::string_view start) {
    return text.compare(0, start.size(), start) == 0;
}

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
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
    while (at < text.size() && is_digit(text[at]) && at - start < 19) {
        value = value * 10 + static_cast<std::uint64_t>(text[at++] - '0');
    }
    return at > start && (at == text.size() || !is_digit(text[at]));
}

// Reads exactly eight hex digits at text[at...]; advances past them.
bool read_crc(std::string_view text, std::size_t& at, std::uint32_t& value) {
    value = 0;
    for (std::size_t end = at + 8; at < end; ++at) {
        const char c = at < text.size() ? lower(text[at]) : '\0';
        const int digit = is_digit(c) ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return false;
        }
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
}

// A reply entry's first line at the start of text, with the entry's size; false when text
// does not start with one.
struct reply_line {
    reply says;
    std::size_t line_size;
    // npos when N bytes are more than text holds.
    std::size_t entry_size;
};
// What a reply entry's first line says of its request, up to and including ") "; at is where
// that ends. The pairing needs no more.
bool read_reply_head(std::string_view text, reply& r, std::size_t& at) {
    r = reply{};
    at = 0;
    if (!read_word(text, at, reply_start)) {
        return false;
    }
    r.paired = !read_word(text, at, "-");
    if (r.paired) {
        if (!read_number(text, at, r.request_end)) {
            return false;
        }
        r.identified = read_word(text, at, " to ");
        if (r.identified &&
            (!read_number(text, at, r.request_size) || !read_word(text, at, " bytes crc ") ||
             !read_crc(text, at, r.request_crc))) {
            return false;
        }
    }
    return read_word(text, at, ") ");
}

bool read_reply_head(std::string_view text, reply& r) {
    std::size_t at = 0;
    return read_reply_head(text, r, at);
}

bool read_reply_line(std::string_view text, reply_line& line) {
    reply& r = line.says;
    std::size_t at = 0;
    std::uint64_t n = 0;
    if (!read_reply_head(text, r, at)) {
        return false;
    }
    if (!read_number(text, at, r.microseconds) || !read_word(text, at, " us, length ")) {
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
    // More bytes than there are cannot be there, whatever N is.
    line.entry_size = !r.block          ? at + 2
                      : n > text.size() ? std::string_view::npos
                                        : at + n + empty_line_end.size();
    return true;
}

// Why the reply entry that text starts with is damaged; empty when it is whole (or may yet be:
// its N bytes run past the end of text).
const char* reply_damage(std::string_view text) {
    reply_line line{};
    if (!read_reply_line(text, line)) {
        return text.find("\r\n") == std::string_view::npos ? "" : "its first line is not a reply's";
    }
    if (line.entry_size > text.size()) {
        return "";
    }
    return text.compare(line.entry_size - 4, 4, empty_line_end) == 0
               ? ""
               : "its bytes are not followed by an empty line where its byte count says";
}

// The reply entry at the start of rest (at in the log): whole, cut short, or damaged up to
// where an entry surely starts after one of its empty lines.
entry reply_entry_at(std::string_view rest, std::size_t at, bool growing) {
    reply_line line{};
    const bool readable = read_reply_line(rest, line);
    if (readable && line.entry_size <= rest.size() &&
        rest.compare(line.entry_size - 4, 4, empty_line_end) == 0) {
        return {entry_kind::reply, at, line.entry_size};
    }
    const std::size_t line_end = rest.find("\r\n");
    // A first line not yet whole, or bytes still to come.
    if (line_end == std::string_view::npos ||
        (readable && growing && line.entry_size > rest.size())) {
        return {entry_kind::cut_short, at, rest.size()};
    }
    for (std::size_t q = rest.find(empty_line_end, line_end); q != std::string_view::npos;
         q = rest.find(empty_line_end, q + 2)) {
        const std::size_t next = q + empty_line_end.size();
        if (next < rest.size() && starts_entry(rest.substr(next))) {
            return {entry_kind::damaged, at, next};
        }
    }
    // Nothing surely follows: the log ends in it, or it may yet be followed by an entry.
    if (growing || (readable && line.entry_size > rest.size())) {
        return {entry_kind::cut_short, at, rest.size()};
    }
    return {entry_kind::damaged, at, rest.size()};
}

// Whether the reply entry at the start of text answers the request that ends right before it,
// size bytes from where that request starts in the file at request_start: for a request
// without its own closing empty line, which ends only where its reply begins.
bool answers_request_before(std::string_view text, std::string_view request,
                            std::uint64_t request_start) {
    reply_line line{};
    if (!read_reply_line(text, line) || !line.says.paired) {
        return false;
    }
    const reply& r = line.says;
    if (r.identified) {
        return r.request_size == request.size() && r.request_crc == crc32(request);
    }
    return r.request_end == request_start + request.size();
}

constexpr std::array<std::array<std::uint32_t, 256>, 8> crc_tables = [] {
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        tables[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i) {
        for (std::size_t t = 1; t < tables.size(); ++t) {
            tables[t][i] = (tables[t - 1][i] >> 8) ^ tables[0][tables[t - 1][i] & 0xFF];
        }
    }
    return tables;
}();

std::size_t put_text(char* out, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        out[i] = text[i];
    }
    return text.size();
}

std::size_t put_decimal(char* out, std::uint64_t value) {
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = digits[count - 1 - i];
    }
    return count;
}

}  // namespace

std::uint32_t crc32(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    std::uint32_t c = 0xFFFFFFFFu;
    // Eight bytes a step: the tables fold in each byte's effect on the bytes after it.
    const auto word = [](const unsigned char* q) {
        return static_cast<std::uint32_t>(q[0]) | static_cast<std::uint32_t>(q[1]) << 8 |
               static_cast<std::uint32_t>(q[2]) << 16 | static_cast<std::uint32_t>(q[3]) << 24;
    };
    for (; n >= 8; p += 8, n -= 8) {
        const std::uint32_t low = c ^ word(p);
        const std::uint32_t high = word(p + 4);
        c = crc_tables[7][low & 0xFF] ^ crc_tables[6][(low >> 8) & 0xFF] ^
            crc_tables[5][(low >> 16) & 0xFF] ^ crc_tables[4][low >> 24] ^
            crc_tables[3][high & 0xFF] ^ crc_tables[2][(high >> 8) & 0xFF] ^
            crc_tables[1][(high >> 16) & 0xFF] ^ crc_tables[0][high >> 24];
    }
    for (; n > 0; ++p, --n) {
        c = crc_tables[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

std::size_t format_reply_line(char* out, const reply& says, std::uint64_t n) {
    std::size_t h = put_text(out, reply_start);
    if (says.paired) {
        h += put_decimal(out + h, says.request_end);
        if (says.identified) {
            h += put_text(out + h, " to ");
            h += put_decimal(out + h, says.request_size);
            h += put_text(out + h, " bytes crc ");
            for (int shift = 28; shift >= 0; shift -= 4) {
                out[h++] = "0123456789abcdef"[(says.request_crc >> shift) & 0xF];
            }
        }
    } else {
        out[h++] = '-';
    }
    h += put_text(out + h, ") ");
    h += put_decimal(out + h, says.microseconds);
    h += put_text(out + h, " us, length ");
    if (!says.has_length) {
        out[h++] = '-';
    } else {
        if (says.length < 0) {
            out[h++] = '-';
        }
        // The magnitude of the most negative length too.
        const auto value = static_cast<std::uint64_t>(says.length);
        h += put_decimal(out + h, says.length < 0 ? 0 - value : value);
    }
    if (!says.block) {
        return h + put_text(out + h, ", no block\r\n");
    }
    h += put_text(out + h, ", ");
    h += put_decimal(out + h, n);
    return h + put_text(out + h, " bytes\r\n");
}

bool is_request_line(std::string_view line) {
    if (line.empty() || !is_letter(line.front())) {
        return false;
    }
    for (const char c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
    }
    const std::size_t blank = line.rfind(' ');
    if (blank == std::string_view::npos) {
        return false;
    }
    const std::string_view word = line.substr(blank + 1);
    const std::size_t slash = word.find('/');
    if (slash == 0 || slash == std::string_view::npos || slash + 1 == word.size() ||
        !is_digit(word[slash + 1])) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (i < slash ? !is_letter(word[i]) : i > slash && !is_digit(word[i]) && word[i] != '.') {
            return false;
        }
    }
    return true;
}

// The length of the note's start that text starts with; 0 when it starts with none.
std::size_t note_start_size(std::string_view text) {
    for (const std::string_view start : note_starts) {
        if (starts_with(text, start)) {
            return start.size();
        }
    }
    return 0;
}

bool starts_entry(std::string_view text) {
    for (const std::string_view own :
         {attach_text, detach_text, unload_text, load_start, loadu_start}) {
        if (starts_with(text, own)) {
            return true;
        }
    }
    if (note_start_size(text) > 0) {
        return true;
    }
    reply_line line{};
    if (starts_with(text, reply_start)) {
        return read_reply_line(text, line);
    }
    return is_request_line(text.substr(0, text.find("\r\n")));
}

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
    if (starts_with(rest, reply_start)) {
        return reply_entry_at(rest, at, growing);
    }
    entry next{entry_kind::request, at, 0};
    if (starts_with(rest, load_start)) {
        next.kind = entry_kind::load;
    } else if (starts_with(rest, loadu_start)) {
        next.kind = entry_kind::loadu;
    } else if (note_start_size(rest) > 0) {
        next.kind = entry_kind::note;
    }
    // The load data may itself hold CR LF; only an empty line ends an entry.
    const std::size_t end = rest.find(empty_line_end);
    std::size_t size = end == std::string_view::npos ? rest.size() : end + empty_line_end.size();
    if (next.kind == entry_kind::request) {
        // A request without its closing empty line ends where the reply to it begins. Only
        // the request's own bytes are searched: a search through the rest of the log would
        // cross it whole for every request of a log without replies.
        const std::string_view own = rest.substr(0, size + reply_start.size() - 1);
        for (std::size_t p = own.find(reply_start, 1); p < size; p = own.find(reply_start, p + 1)) {
            if (answers_request_before(rest.substr(p), rest.substr(0, p), base + at)) {
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
    const bool load = next.kind == entry_kind::load || next.kind == entry_kind::loadu;
    while (load && rest.compare(next.size, 2, "\r\n") == 0) {
        next.size += 2;
    }
    // Bytes still to come may hold more of them.
    const std::string_view after = rest.substr(next.size);
    if (growing && load && (after.empty() || after == "\r")) {
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

namespace {

constexpr std::size_t requests_kept = 65536;
constexpr std::size_t requests_searched = 4096;

}  // namespace

bool reply_pairing::take(request_seen& request, const reply& says, std::size_t& index) {
    if (!request.waiting || (says.identified && (request.size != says.request_size ||
                                                 request.crc != says.request_crc))) {
        return false;
    }
    request.waiting = false;
    index = request.index;
    shifted_ = true;
    shift_ = static_cast<std::int64_t>(request.end - says.request_end);
    return true;
}

bool reply_pairing::take(std::uint64_t end, const reply& says, std::size_t& index) {
    // Mostly the latest request: the one right before the reply.
    if (!requests_.empty() && requests_.back().end == end) {
        return take(requests_.back(), says, index);
    }
    const auto found =
        std::lower_bound(requests_.begin(), requests_.end(), end,
                         [](const request_seen& r, std::uint64_t at) { return r.end < at; });
    return found != requests_.end() && found->end == end && take(*found, says, index);
}

std::size_t reply_pairing::next(const entry& e, std::string_view bytes, std::uint64_t file_offset,
                                bool opens) {
    if (opens) {
        *this = reply_pairing();
    }
    const std::size_t index = entries_++;
    const bool after_request = after_request_;
    after_request_ = e.kind == entry_kind::request;
    if (e.kind == entry_kind::request) {
        requests_.push_back({file_offset + e.size, e.size, crc32(bytes), true, index});
        if (requests_.size() > requests_kept) {
            requests_.pop_front();
        }
        return no_request;
    }
    reply says{};
    if (e.kind != entry_kind::reply || !read_reply_head(bytes, says) || !says.paired) {
        return no_request;
    }
    std::size_t request = no_request;
    if (shifted_ && take(says.request_end + static_cast<std::uint64_t>(shift_), says, request)) {
        return request;
    }
    if (take(says.request_end, says, request)) {
        return request;
    }
    // Offsets that hold nowhere in this run: the request is the latest one waiting that has the
    // reply's size and CRC-32, or for a reply that names neither, the entry right before it.
    if (says.identified) {
        const std::size_t searched = std::min(requests_.size(), requests_searched);
        for (auto r = requests_.rbegin();
             r != requests_.rbegin() + static_cast<std::ptrdiff_t>(searched); ++r) {
            if (take(*r, says, request)) {
                return request;
            }
        }
    } else if (after_request && take(requests_.back(), says, request)) {
        return request;
    }
    return no_request;
}

std::vector<run> split_runs(std::string_view log, bool* overlapping) {
    std::vector<run> runs;
    run_tracker tracker;
    reply_pairing pairing;
    // Entry by entry, rather than through split_entries: a log of 100 MB has hundreds of
    // thousands of them, and a list of them all, made only to be copied, doubles the work.
    for (std::size_t at = 0; at < log.size(); at += runs.back().entries.back().size) {
        entry e = entry_at(log, at);
        const bool opens = tracker.opens_run(e.kind);
        if (opens) {
            runs.emplace_back();
        }
        e.request = pairing.next(e, entry_bytes(log, e), e.offset, opens);
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
            if (is_pilro_entry(e, entry_bytes(log, e))) {
                return true;
            }
        }
    }
    return false;
}

bool is_pilro_entry(const entry& e, std::string_view bytes) {
    if (e.kind != entry_kind::request && e.kind != entry_kind::cut_short &&
        e.kind != entry_kind::damaged) {
        return true;
    }
    return e.kind != entry_kind::damaged && is_request_line(bytes.substr(0, bytes.find("\r\n")));
}

std::string_view entry_bytes(std::string_view log, const entry& e) {
    return log.substr(e.offset, e.size);
}

std::string_view load_data(std::string_view log, const entry& e) {
    std::string_view bytes = entry_bytes(log, e);
    bytes.remove_prefix(e.kind == entry_kind::loadu ? loadu_start.size() : load_start.size());
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

std::string damage(std::string_view log, const entry& e) {
    const std::string_view bytes = log.substr(e.offset);
    const char* why = reply_damage(bytes);
    return *why != '\0' ? why : "its byte count runs past the entries that follow it";
}

std::string_view note_text(std::string_view log, const entry& e) {
    std::string_view bytes = entry_bytes(log, e);
    bytes.remove_prefix(note_start_size(bytes));
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
        case entry_kind::loadu:
            return "loadu";
        case entry_kind::unload:
            return "unload";
        case entry_kind::request:
            return "request";
        case entry_kind::reply:
            return "reply";
        case entry_kind::note:
            return "note";
        case entry_kind::damaged:
            return "damaged";
        case entry_kind::cut_short:
            break;
    }
    return "cut-short";
}

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
        if (colon == name.size()) {
            bool same = true;
            for (std::size_t i = 0; i < name.size(); ++i) {
                same = same && lower(line[i]) == lower(name[i]);
            }
            if (same) {
                value = trimmed(line.substr(colon + 1));
                return true;
            }
        }
        at = end;
    }
    return false;
}

std::string request_charset(std::string_view request) {
    std::string_view value;
    return header_value(request, "Charset", value) ? std::string(value) : std::string();
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
        if (!is_digit(c)) {
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
