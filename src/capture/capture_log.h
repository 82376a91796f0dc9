// Reading a log that pilro or the relay captured: splitting it into entries and runs, and
// pairing each reply with the request it answers. Every tool reads logs through this, and so
// can a module file (it needs nothing from the platform), so that they all agree on what an
// entry, a run and a pair are.
//
// An entry of pilro's own is known by its exact text: "DllMain(Attach)", "DllMain(Detach)"
// and "unload()", each with CR LF CR LF after it, and "load() " up to its closing empty line:
// the first CR LF CR LF after it, with any CR LF right after that (load data that ends in
// line breaks; no entry begins with one). Load data that holds an empty line of its own is
// cut there. Every other stretch, up to and including the next CR LF CR LF, is one request:
// exact for well-formed requests, which hold no empty line before their end. A log that ends
// without that CR LF CR LF ends in an entry cut short.
//
// The relay adds two kinds of entry. After each request it relays, the real module's reply:
//   "reply(" AT " to " R " bytes crc " C ") " T " us, length " L ", " N " bytes" CR LF,
//       N bytes, CR LF CR LF
//   "reply(" AT " to " R " bytes crc " C ") " T " us, length " L ", no block" CR LF CR LF
// AT is the offset in the file just past the request's entry, R that entry's size and C the
// CRC-32 of its bytes (as zlib computes it, eight hex digits), or the whole "AT to R bytes crc
// C" is "-" when the entry could not be written (or was empty). Logs of earlier relays have
// "reply(" AT ")" alone, and are read as well. T is the microseconds the real module took; L
// the length it returned, "-" when the host passed no length; N the reply's bytes up to L, up
// to the end of the block and up to its first NUL, which may be anything, empty lines
// included. The numbers are decimal, L with a "-" when negative; N counts the bytes, so the
// entry is exact whatever they are. Whatever starts with "reply(" is a reply entry wherever it
// stands, never a request: one whose first line does not have this form, or whose N bytes are
// not followed by CR LF CR LF, is damaged; it reaches up to the first place after an empty
// line where an entry surely starts (see starts_entry), or to the log's end. A request entry
// that lacks its own closing empty line ends where the entry of the reply to it begins.
// Its notes say why it is not relaying: "relay() " and one line of text, then CR LF CR LF.
// The stub, which answers from a capture, writes reply entries of the same form for the
// replies it gives, and notes that start with "stub() ". Both write "loadu() " up to its
// closing empty line, as "load() ", for the load that takes the folder in UTF-8 (an export
// that pilro-place gives them).
//
// A run is everything from an attach entry up to and including the next detach entry.
// Entries outside any such frame (a log begun in the middle of a run, a process that ended
// without its detach entry) form runs of their own: a stretch of them ends before the next
// attach entry, or with a detach entry. Where several module files, or processes, wrote to
// one log at once, their entries alternate and so do their runs; nothing here takes them
// apart, but run_tracker tells when it happened.
//
// A reply answers a request of its own run that comes before it: the one whose entry ends at
// AT, and whose size and CRC-32 are R and C. Offsets hold only in the file as it was written:
// where the log was cut at the front or pieced together, every offset of a stretch that came
// from one file is off by as much, and the pairing finds that shift from the first reply whose
// request it can tell by R and C alone. A reply whose request is not in its run (the log was
// deleted, or cut, while the call was inside the real module) answers no request. Replies of
// earlier relays, without R and C, pair by AT, or else with the request right before them.
#ifndef PILRO_CAPTURE_LOG_H
#define PILRO_CAPTURE_LOG_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace pilro::capture {

enum class entry_kind {
    attach,
    detach,
    load,
    loadu,
    unload,
    request,
    reply,
    note,
    damaged,
    cut_short
};

// No request: what a reply answers when its request is not in its run.
inline constexpr std::size_t no_request = static_cast<std::size_t>(-1);

struct entry {
    entry_kind kind;
    // Where in the log it is.
    std::size_t offset;
    std::size_t size;
    // For a reply entry of a run that split_runs made: the index in the run's entries of the
    // request it answers, or no_request.
    std::size_t request = no_request;
};

struct run {
    std::vector<entry> entries;
};

// The entry that starts at byte `at` of log (at < log.size()), where log begins at byte `base`
// of the file (a reply names its request by its offset in the file). While log may still
// grow (a log being written: `growing`), an entry that may not be whole yet is cut_short as
// well: a load entry that reaches the end of the bytes so far may yet get CR LF of its own,
// and a damaged reply entry may yet be followed by the entry that ends it.
entry entry_at(std::string_view log, std::size_t at, bool growing = false, std::uint64_t base = 0);
// Every entry of the log, in order. The last one alone may be cut_short.
std::vector<entry> split_entries(std::string_view log);

// Whether an entry surely starts at the start of text: one of pilro's own, a note, a reply's
// first line, or a request line ("METHOD[ ...] NAME/VERSION", see is_request_line).
bool starts_entry(std::string_view text);
// Whether line (a request's first line, without its CR LF) has the form of a request line of
// the protocols that use pilro's three exports: a method that starts with a letter, a blank,
// anything more, and a last word NAME/VERSION, NAME in ASCII letters and VERSION in digits
// and dots, starting with a digit: "EXECUTE SAORI/1.0", "GET Version SAORI/1.0",
// "GET SHIORI/3.0", "GET Sentence SHIORI/2.2". No control characters.
bool is_request_line(std::string_view line);

// What a reply entry says.
struct reply {
    // Whether it names the end of its request's entry, and that offset.
    bool paired;
    std::uint64_t request_end;
    // Whether it gives that entry's size and CRC-32 as well (earlier relays did not).
    bool identified;
    std::uint64_t request_size;
    std::uint32_t request_crc;
    std::uint64_t microseconds;
    // The length the real module returned, unless the host gave no length.
    bool has_length;
    long long length;
    // False for a null reply, whose bytes are empty.
    bool block;
    std::string_view bytes;
};
// Runs, entry by entry in the log's order: split_runs is made of this, and a reader that gets
// entries as they are written uses it alone.
class run_tracker {
  public:
    // Whether the entry of this kind opens a new run; to be told of every entry, in order.
    bool opens_run(entry_kind kind);
    // Whether runs were open at once: a detach entry came after another with no attach entry
    // between them. Runs one after another never write that, not even when a process ends
    // without its detach entry; two module files sharing the log, or processes using one at
    // the same time, mostly do (see shared_log_warning).
    bool overlapping() const { return overlapping_; }

  private:
    bool open_ = false;
    bool after_detach_ = false;
    bool overlapping_ = false;
};

// Replies paired with their requests, entry by entry in the log's order, as the head comment
// says: split_runs is made of this, and a reader that gets entries as they are written uses it
// alone, so that both pair alike.
class reply_pairing {
  public:
    // To be told of every entry, in order: opens is what run_tracker said of it, bytes are its
    // bytes, and file_offset is where they start in the file. For a reply, returns the index,
    // among the entries of its run, of the request it answers, or no_request; for any other
    // entry, no_request. A reply answers one of the latest 65,536 requests of its run, and
    // where it goes by size and CRC-32 alone, one of the latest 4,096, so that memory and time
    // stay flat however long the run.
    std::size_t next(const entry& e, std::string_view bytes, std::uint64_t file_offset, bool opens);

  private:
    struct request_seen {
        std::uint64_t end;  // in the file
        std::uint64_t size;
        std::uint32_t crc;
        bool waiting;       // for its reply
        std::size_t index;  // in the run
    };
    bool take(std::uint64_t end, const reply& says, std::size_t& index);
    bool take(request_seen& request, const reply& says, std::size_t& index);

    std::size_t entries_ = 0;  // of the run so far
    // The run's latest requests, in the log's order, so by where they end.
    std::deque<request_seen> requests_;
    // Whether the entry before this one was a request.
    bool after_request_ = false;
    // How far the run's offsets are off (see the head comment), once known.
    bool shifted_ = false;
    std::int64_t shift_ = 0;
};

// The entries grouped into runs, in order, with each reply paired; no run is empty. Where
// overlapping is given, it receives what run_tracker::overlapping says of them.
std::vector<run> split_runs(std::string_view log, bool* overlapping = nullptr);
// What the tools say when runs overlap, after the log's name and a colon.
extern const char shared_log_warning[];

// Whether the log holds anything of pilro's: an entry of its own making (any but a request, a
// damaged or a cut-short one), or a request, cut short or not, that starts with a request
// line. A log whose end is cut short, or which begins in the middle of a run, passes; an empty
// file, plain text and binary bytes do not.
bool holds_pilro_entries(std::string_view log, const std::vector<run>& runs);
// What holds_pilro_entries asks of each entry, for a reader that gets the log part by part:
// bytes are the entry's bytes.
bool is_pilro_entry(const entry& e, std::string_view bytes);

std::string_view entry_bytes(std::string_view log, const entry& e);
// What a load or loadu entry was given: its bytes after "load() " (or "loadu() "), before the
// closing empty line.
std::string_view load_data(std::string_view log, const entry& e);
// "attach", "detach", "load", "loadu", "unload", "request", "reply", "note", "damaged",
// "cut-short".
const char* kind_name(entry_kind kind);

// Precondition: e is a reply entry of log.
reply read_reply(std::string_view log, const entry& e);
// Why a damaged entry is damaged, as a phrase: "its first line is not a reply's", ...
std::string damage(std::string_view log, const entry& e);
// A note's text, between "relay() " (or "stub() ") and the closing empty line.
std::string_view note_text(std::string_view log, const entry& e);

// The CRC-32 of bytes, as zlib and the relay compute it.
std::uint32_t crc32(std::string_view bytes);
// The longest first line of a reply entry, CR LF included.
inline constexpr std::size_t reply_line_capacity = 160;
// Writes the first line of the reply entry for says (its bytes are n bytes long, when it has a
// block) at out, which has room for reply_line_capacity bytes; returns its length. The relay
// writes its replies with this.
std::size_t format_reply_line(char* out, const reply& says, std::uint64_t n);

// The value of the request's header line `name` (the name compared without regard to ASCII
// case, the value without blanks around it); false when it has none. Looks only at the header
// lines: from the second line to the first empty one. A reply's are found the same way.
bool header_value(std::string_view request, std::string_view name, std::string_view& value);
// The value of the request's Charset header line; empty when it has none.
std::string request_charset(std::string_view request);

// A run number as the command line gives it: N counts from 1, -N from the end (-1 is the
// last run). False for anything else, 0 included.
bool parse_run_number(std::string_view text, long long& number);
// The index in runs of run number `number`, where the log has run_count runs; false with a
// sentence saying so in error when there is no such run.
bool find_run(std::size_t run_count, long long number, std::size_t& index, std::string& error);

}  // namespace pilro::capture

#endif
