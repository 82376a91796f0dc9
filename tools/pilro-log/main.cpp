// pilro-log: a log that pilro captured, one line per run and per entry, readable without a
// hex viewer and stable enough to compare two captures with diff. Run with --help for the
// format.
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_log.h"
#include "platform/charset.h"
#include "platform/platform.h"

namespace {

namespace capture = pilro::capture;
namespace charset = pilro::charset;

const char usage_text[] =
    "usage: pilro-log LOG [--run N]\n"
    "\n"
    "Shows the log LOG that pilro captured (pilro.txt), or the relay (foo.pilro.txt): one\n"
    "line per run, then one line per entry of that run.\n"
    "\n"
    "  --run N      only run N: N counts from 1, -N from the end (-1 is the last run)\n"
    "  -h, --help   show this text\n"
    "\n"
    "A run line reads\n"
    "  run R: E entries, Q requests, B bytes\n"
    "(\", P replies\" before the bytes where the run has replies) with \", no attach\" or\n"
    "\", no detach\" after it when the run does not start with an attach entry or end\n"
    "with a detach entry. An entry line reads\n"
    "  R.N KIND SIZE TEXT\n"
    "R is the run's number and N the entry's within the run, both from 1; SIZE is the\n"
    "entry's length in bytes in the log, its closing empty line included. KIND is\n"
    "attach, detach, load, unload, request, reply, note or cut-short (the log ends inside\n"
    "this entry). TEXT, after a blank, is for a load entry its data, for a request its\n"
    "request line and header lines each with its CR LF, for a note (the relay's word on\n"
    "why it is not relaying) its text, for a cut-short entry all its bytes; attach,\n"
    "detach and unload entries and empty load data have none. For a reply, the relay's\n"
    "record of what the real module returned, TEXT is\n"
    "  (to R.N, T us[, length L][, no block]) BYTES\n"
    "R.N being the request it answers (\"an unlogged request\" when the log lacks it), T\n"
    "the microseconds the real module took, L the length it returned where that is not\n"
    "the count of BYTES (\"no length\" when the host gave none), \"no block\" for a null\n"
    "reply, and BYTES the reply's bytes up to that length and to a NUL.\n"
    "\n"
    "TEXT is one line of UTF-8. A request's bytes (and a cut-short one's) are read in\n"
    "the charset that its own Charset header names, a reply's in its own or else its\n"
    "request's; other entries, texts without the header and texts naming a charset not\n"
    "known here are read as ASCII. Known charsets, by any of these names in any case:\n";

const char usage_tail[] =
    "Backslash is shown as \\\\, CR, LF and tab as \\r, \\n and \\t, other control\n"
    "characters as \\xNN (C1 controls as \\u0080..\\u009F), and every byte that is no\n"
    "character in that charset as \\xNN; nothing is dropped. On a Windows console the\n"
    "characters are written through its wide-character API; anywhere else the output is\n"
    "UTF-8 bytes with LF line ends, the same on every platform.\n"
    "\n"
    "Runs and entries are those saori-host --replay sends: a run is everything from an\n"
    "attach entry to the next detach entry, and entries outside such a frame form runs of\n"
    "their own. pilro's own entries are known by their exact texts, a reply by its first\n"
    "line, which counts its bytes, and every other stretch up to and including the next\n"
    "CR LF CR LF is one request. Where several processes wrote to one log at once, their\n"
    "runs are interleaved as they were written.\n"
    "\n"
    "Exit status: 0 when the log was shown; 1 when it cannot be read or has no run N;\n"
    "2 for bad arguments.\n";

void report(const std::string& message) {
    std::fprintf(stderr, "pilro-log: %s\n", message.c_str());
}

int usage_error(const std::string& message) {
    report(message);
    std::fprintf(stderr, "usage: pilro-log LOG [--run N]\nRun pilro-log --help for more.\n");
    return 2;
}

// One reader per charset, made when first needed: some need the platform's tables.
class readers {
  public:
    charset::reader& for_request(std::string_view request) {
        return get(charset::find_charset(capture::request_charset(request)));
    }
    charset::reader& ascii() { return get(nullptr); }

  private:
    charset::reader& get(const charset::charset* which) {
        std::unique_ptr<charset::reader>& slot = made_[which];
        if (!slot) {
            slot = std::make_unique<charset::reader>(which);
        }
        return *slot;
    }
    std::map<const charset::charset*, std::unique_ptr<charset::reader>> made_;
};

bool ends_in_empty_line(std::string_view entry) {
    return entry.size() >= 4 && entry.compare(entry.size() - 4, 4, "\r\n\r\n") == 0;
}

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A request entry as a reply names it: where it ends in the log.
struct request_seen {
    std::string label;  // "R.N"
    std::string_view bytes;
};
using requests_by_end = std::map<std::uint64_t, request_seen>;

requests_by_end find_requests(std::string_view log, const std::vector<capture::run>& runs) {
    requests_by_end found;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        for (std::size_t k = 0; k < runs[r].entries.size(); ++k) {
            const capture::entry& e = runs[r].entries[k];
            if (e.kind == capture::entry_kind::request) {
                found[e.offset + e.size] = {std::to_string(r + 1) + "." + std::to_string(k + 1),
                                            capture::entry_bytes(log, e)};
            }
        }
    }
    return found;
}

// "(to R.N, T us[, length L][, no block]) TEXT": the request it answers, the time, the length
// where it is not the bytes' count, and the reply's bytes read in its own charset, or else in
// its request's.
std::string reply_text(const capture::reply& reply, const requests_by_end& requests,
                       readers& read) {
    const auto request = reply.paired ? requests.find(reply.request_end) : requests.end();
    std::string text =
        "(to " +
        (request != requests.end() ? request->second.label : std::string("an unlogged request")) +
        ", " + std::to_string(reply.microseconds) + " us";
    if (!reply.has_length) {
        text += ", no length";
    } else if (!reply.block || reply.length != static_cast<long long>(reply.bytes.size())) {
        text += ", length " + std::to_string(reply.length);
    }
    if (!reply.block) {
        return text + ", no block)";
    }
    text += ")";
    charset::reader& reader =
        !capture::request_charset(reply.bytes).empty() || request == requests.end()
            ? read.for_request(reply.bytes)
            : read.for_request(request->second.bytes);
    return reply.bytes.empty() ? text : text + " " + reader.readable(reply.bytes);
}

std::string run_lines(std::string_view log, const capture::run& run, std::size_t number,
                      const requests_by_end& requests, readers& read) {
    std::size_t counts[2] = {0, 0};  // requests, replies
    std::size_t bytes = 0;
    for (const capture::entry& e : run.entries) {
        counts[0] += e.kind == capture::entry_kind::request ? 1 : 0;
        counts[1] += e.kind == capture::entry_kind::reply ? 1 : 0;
        bytes += e.size;
    }
    std::string lines = "run " + std::to_string(number) + ": " +
                        plural(run.entries.size(), "entry", "entries") + ", " +
                        plural(counts[0], "request", "requests") + ", " +
                        (counts[1] > 0 ? plural(counts[1], "reply", "replies") + ", " : "") +
                        plural(bytes, "byte", "bytes");
    if (run.entries.front().kind != capture::entry_kind::attach) {
        lines += ", no attach";
    }
    if (run.entries.back().kind != capture::entry_kind::detach) {
        lines += ", no detach";
    }
    lines += "\n";
    for (std::size_t k = 0; k < run.entries.size(); ++k) {
        const capture::entry& e = run.entries[k];
        const std::string_view entry = capture::entry_bytes(log, e);
        std::string text;
        switch (e.kind) {
            case capture::entry_kind::load:
                text = read.ascii().readable(capture::load_data(log, e));
                break;
            case capture::entry_kind::request:
                // The closing empty line goes without saying (a request without one ends
                // where its reply begins).
                text = read.for_request(entry).readable(
                    entry.substr(0, entry.size() - (ends_in_empty_line(entry) ? 2 : 0)));
                break;
            case capture::entry_kind::reply:
                text = reply_text(capture::read_reply(log, e), requests, read);
                break;
            case capture::entry_kind::note:
                text = read.ascii().readable(capture::note_text(log, e));
                break;
            case capture::entry_kind::cut_short:
                text = read.for_request(entry).readable(entry);
                break;
            default:
                break;
        }
        lines += std::to_string(number) + "." + std::to_string(k + 1) + " " +
                 capture::kind_name(e.kind) + " " + std::to_string(e.size) +
                 (text.empty() ? "" : " " + text) + "\n";
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    pilro::platform::set_binary_stdio();
    const std::vector<pilro::platform::argument> words =
        pilro::platform::program_arguments(argc, argv);

    std::string path;
    bool has_path = false;
    bool has_run = false;
    long long wanted = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i].bytes;
        if (word == "-h" || word == "--help") {
            std::fputs(usage_text, stdout);
            std::fputs(charset::known_names, stdout);
            std::fputs(usage_tail, stdout);
            return 0;
        }
        if (word == "--run") {
            if (has_run) {
                return usage_error("--run given twice");
            }
            if (i + 1 >= words.size()) {
                return usage_error("--run needs a value");
            }
            has_run = true;
            if (!capture::parse_run_number(words[++i].bytes, wanted)) {
                return usage_error(
                    "--run takes a run number: 1, 2, ... from the first run, "
                    "-1, -2, ... from the last; not \"" +
                    words[i].bytes + "\"");
            }
        } else if (!word.empty() && word[0] == '-' && word != "-") {
            return usage_error("unknown option \"" + word + "\"");
        } else if (has_path) {
            return usage_error("one LOG only");
        } else {
            has_path = true;
            path = word;
        }
    }
    if (!has_path) {
        return usage_error("no log given");
    }

    std::string log;
    std::string error;
    if (!capture::read_log(path, log, error)) {
        report(error);
        return 1;
    }
    const std::vector<capture::run> runs = capture::split_runs(log);
    std::size_t first = 0;
    std::size_t end = runs.size();
    if (has_run) {
        if (!capture::find_run(runs.size(), wanted, first, error)) {
            report(path + ": " + error);
            return 1;
        }
        end = first + 1;
    }
    readers read;
    const requests_by_end requests = find_requests(log, runs);
    for (std::size_t r = first; r < end; ++r) {
        if (!pilro::platform::write_text(run_lines(log, runs[r], r + 1, requests, read))) {
            report("cannot write to standard output");
            return 1;
        }
        if (runs[r].entries.back().kind == capture::entry_kind::cut_short) {
            report(path + " ends in the middle of an entry (its last " +
                   std::to_string(runs[r].entries.back().size) + " bytes)");
        }
    }
    return 0;
}
