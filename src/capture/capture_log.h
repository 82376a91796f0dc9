// Reading a log that pilro or the relay captured: splitting it into entries and runs. Every
// tool reads logs through this, and so can a module file (it needs nothing from the platform),
// so that they agree on what an entry and a run are.
//
// An entry of pilro's own is known by its exact text: "DllMain(Attach)", "DllMain(Detach)"
// and "unload()", each with CR LF CR LF after it, and "load() " up to its closing empty line:
// the first CR LF CR LF after it, with any CR LF right after that (load data that ends in
// line breaks; no entry begins with one). Load data that holds an empty line of its own is
// cut there. Every other stretch, up to and including the next CR LF CR LF, is one request:
// exact for well-formed SAORI/1.0 requests, which hold no empty line before their end. A log
// that ends without that CR LF CR LF ends in an entry cut short.
//
// The relay adds two kinds of entry. After each request it relays, the real module's reply:
//   "reply(" AT ") " T " us, length " L ", " N " bytes" CR LF, N bytes, CR LF CR LF
//   "reply(" AT ") " T " us, length " L ", no block" CR LF CR LF
// AT is the offset in the file just past the request's entry, or "-" when that entry could
// not be written (or was empty); T the microseconds the real module took; L the length it
// returned, "-" when the host passed no length; N the reply's bytes up to L, up to the end of
// the block and up to its first NUL, which may be anything, empty lines included. AT, T, L
// and N are decimal, L with a "-" when negative; N counts the bytes, so the entry is exact
// whatever they are. The first line is taken for a reply only when it has this form, AT
// (when given) is not after the entry itself, and the entry ends where N says, in CR LF CR LF;
// a log that ends before then ends in an entry cut short. A request entry that lacks its own
// closing empty line ends where a reply entry begins that names that very offset as its AT.
// Its notes say why it is not relaying: "relay() " and one line of text, then CR LF CR LF.
//
// A run is everything from an attach entry up to and including the next detach entry.
// Entries outside any such frame (a log begun in the middle of a run, a process that ended
// without its detach entry) form runs of their own: a stretch of them ends before the next
// attach entry, or with a detach entry. Where several module files, or processes, wrote to
// one log at once, their entries alternate and so do their runs; nothing here takes them
// apart, but run_tracker tells when it happened.
#ifndef PILRO_CAPTURE_LOG_H
#define PILRO_CAPTURE_LOG_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pilro::capture {

enum class entry_kind { attach, detach, load, unload, request, reply, note, cut_short };

struct entry {
    entry_kind kind;
    // Where in the log it is.
    std::size_t offset;
    std::size_t size;
};

struct run {
    std::vector<entry> entries;
};

// The entry that starts at byte `at` of log (at < log.size()), where log begins at byte `base`
// of the file (a reply names its request by its offset in the file). While log may still
// grow (a log being written: `growing`), an entry that may not be whole yet is cut_short as
// well: a load entry that reaches the end of the bytes so far may yet get CR LF of its own.
entry entry_at(std::string_view log, std::size_t at, bool growing = false, std::uint64_t base = 0);
// Every entry of the log, in order. The last one alone may be cut_short.
std::vector<entry> split_entries(std::string_view log);

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

// The entries grouped into runs, in order; no run is empty. Where overlapping is given, it
// receives what run_tracker::overlapping says of them.
std::vector<run> split_runs(std::string_view log, bool* overlapping = nullptr);
// What the tools say when runs overlap, after the log's name and a colon.
extern const char shared_log_warning[];

// Whether the log holds anything of pilro's: an entry of its own making (any but a request or
// a cut-short one), or a request, cut short or not, whose request line holds " SAORI/". A log
// whose end is cut short, or which begins in the middle of a run, passes; an empty file, plain
// text without SAORI/1.0 requests and binary bytes do not.
bool holds_pilro_entries(std::string_view log, const std::vector<run>& runs);

std::string_view entry_bytes(std::string_view log, const entry& e);
// What a load entry was given: its bytes after "load() ", before the closing empty line.
std::string_view load_data(std::string_view log, const entry& e);
// "attach", "detach", "load", "unload", "request", "reply", "note", "cut-short".
const char* kind_name(entry_kind kind);

// What a reply entry says.
struct reply {
    // Whether it names the end of its request's entry, and that offset.
    bool paired;
    std::uint64_t request_end;
    std::uint64_t microseconds;
    // The length the real module returned, unless the host gave no length.
    bool has_length;
    long long length;
    // False for a null reply, whose bytes are empty.
    bool block;
    std::string_view bytes;
};
// Precondition: e is a reply entry of log.
reply read_reply(std::string_view log, const entry& e);
// A note's text, between "relay() " and the closing empty line.
std::string_view note_text(std::string_view log, const entry& e);

// The value of the request's Charset header line (the name compared without regard to case,
// the value without blanks around it); empty when it has none. Looks only at the header
// lines: from the second line to the first empty one. A reply's is found the same way.
std::string request_charset(std::string_view request);

// A run number as the command line gives it: N counts from 1, -N from the end (-1 is the
// last run). False for anything else, 0 included.
bool parse_run_number(std::string_view text, long long& number);
// The index in runs of run number `number`, where the log has run_count runs; false with a
// sentence saying so in error when there is no such run.
bool find_run(std::size_t run_count, long long number, std::size_t& index, std::string& error);

}  // namespace pilro::capture

#endif
