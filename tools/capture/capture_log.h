// Reading a log that pilro captured: splitting it into entries and runs. Both tools read logs
// through this, so that they agree on what an entry and a run are.
//
// An entry of pilro's own is known by its exact text: "DllMain(Attach)", "DllMain(Detach)"
// and "unload()", each with CR LF CR LF after it, and "load() " up to its closing empty line:
// the first CR LF CR LF after it, with any CR LF right after that (load data that ends in
// line breaks; no entry begins with one). Load data that holds an empty line of its own is
// cut there. Every other stretch, up to and including the next CR LF CR LF, is one request:
// exact for well-formed SAORI/1.0 requests, which hold no empty line before their end. A log
// that ends without that CR LF CR LF ends in an entry cut short.
//
// A run is everything from an attach entry up to and including the next detach entry.
// Entries outside any such frame (a log begun in the middle of a run, a process that ended
// without its detach entry) form runs of their own: a stretch of them ends before the next
// attach entry, or with a detach entry. Where several processes wrote to one log at once,
// their entries alternate and so do their runs; nothing here takes them apart.
#ifndef PILRO_TOOLS_CAPTURE_LOG_H
#define PILRO_TOOLS_CAPTURE_LOG_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pilro::capture {

enum class entry_kind { attach, detach, load, unload, request, cut_short };

struct entry {
    entry_kind kind;
    // Where in the log it is.
    std::size_t offset;
    std::size_t size;
};

struct run {
    std::vector<entry> entries;
};

// Every entry of the log, in order. The last one alone may be cut_short.
std::vector<entry> split_entries(std::string_view log);
// The entries grouped into runs, in order; no run is empty.
std::vector<run> split_runs(std::string_view log);

std::string_view entry_bytes(std::string_view log, const entry& e);
// What a load entry was given: its bytes after "load() ", before the closing empty line.
std::string_view load_data(std::string_view log, const entry& e);
// "attach", "detach", "load", "unload", "request", "cut-short".
const char* kind_name(entry_kind kind);

// The value of the request's Charset header line (the name compared without regard to case,
// the value without blanks around it); empty when it has none. Looks only at the header
// lines: from the second line to the first empty one.
std::string request_charset(std::string_view request);

// Reads the whole file at path into bytes; returns false with a sentence that names the file
// and the reason in error ("cannot open KIND PATH: ...", KIND and its blank left out when
// empty). saori-host reads its request files through this too.
bool read_file(const std::string& path, std::string_view kind, std::string& bytes,
               std::string& error);
inline bool read_log(const std::string& path, std::string& bytes, std::string& error) {
    return read_file(path, {}, bytes, error);
}

// A run number as the command line gives it: N counts from 1, -N from the end (-1 is the
// last run). False for anything else, 0 included.
bool parse_run_number(std::string_view text, long long& number);
// The index in runs of run number `number`, where the log has run_count runs; false with a
// sentence saying so in error when there is no such run.
bool find_run(std::size_t run_count, long long number, std::size_t& index, std::string& error);

}  // namespace pilro::capture

#endif
