// pilro-log: a log that pilro captured, one line per run and per entry, readable without a
// hex viewer and stable enough to compare two captures with diff. Run with --help for the
// format.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "capture/capture_file.h"
#include "capture/capture_log.h"
#include "platform/charset.h"
#include "platform/platform.h"
#include "report.h"
#include "shown.h"
#include "summary.h"

namespace {

namespace capture = pilro::capture;
namespace charset = pilro::charset;
using pilro::log::damage_report;
using pilro::log::label;
using pilro::log::readers;

const char synopsis[] =
    "usage: pilro-log LOG [--run N | --follow]\n"
    "       pilro-log LOG --summary [--tsv] [--sort time|count|name] [--run N]\n"
    "       pilro-log LOG --html REPORT.html [--sort time|count|name]\n";

const char usage_text[] =
    "\n"
    "Shows the log LOG that pilro captured (pilro.txt), or the relay or the stub\n"
    "(foo.pilro.txt): one line per run, then one line per entry of that run.\n"
    "\n"
    "  --run N      only run N: N counts from 1, -N from the end (-1 is the last run)\n"
    "  --follow     show the log, then each entry as soon as it is whole, until\n"
    "               interrupted (Ctrl-C)\n"
    "  --summary    count the requests by kind instead: a table per run and one for\n"
    "               all runs (see below)\n"
    "  --tsv        the summary as tab-separated values, for a spreadsheet\n"
    "  --sort S     the summary's rows by total time (time, the default), by count, or\n"
    "               by kind (name)\n"
    "  --html REPORT.html\n"
    "               write the summary, a plot of the times and every exchange into\n"
    "               one page to open in a browser\n"
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
    "attach, detach, load, loadu (a load entry of the load that takes the folder in\n"
    "UTF-8, which the relay and the stub have where pilro-place gave them a real\n"
    "module's exports), unload, request, reply, note, damaged (a reply entry whose\n"
    "first line or byte count is wrong) or cut-short (the log ends inside this entry).\n"
    "TEXT, after a blank, is for a load entry its data, for a request its request line\n"
    "and header lines each with its CR LF, for a note (the relay's word on why it is not\n"
    "relaying, the stub's on what it answers from and what it cannot answer) its text,\n"
    "for a damaged or cut-short entry all its bytes; attach, detach and unload entries\n"
    "and empty load data have none. For a reply, the relay's record of what the real\n"
    "module returned (or the stub's of what it gave in its place), TEXT is\n"
    "  (to R.N, T us[, length L][, no block]) BYTES\n"
    "R.N being the request it answers: \"no request\" when that request is not in its run\n"
    "(the log was deleted or cut while the call was inside the real module), \"an\n"
    "unlogged request\" when the relay could not log it. T is the microseconds the real\n"
    "module (or the stub) took, L the length it returned where that is not the count of\n"
    "BYTES (\"no length\" when the host gave none), \"no block\" for a null reply, and\n"
    "BYTES the reply's bytes up to that length and to a NUL. Standard error names each\n"
    "damaged entry, with its place in the file and what is wrong, and reading goes on\n"
    "after it.\n"
    "\n"
    "TEXT is one line of UTF-8. A request's bytes (and a cut-short one's) are read in\n"
    "the charset that its own Charset header names, a reply's in its own or else its\n"
    "request's; a loadu entry's data in UTF-8; a note in UTF-8, or, where it is not UTF-8\n"
    "throughout (earlier versions wrote file names and the system's messages in the\n"
    "system's code page), as ASCII; other entries, texts without the header and texts\n"
    "naming a charset not known here are read as ASCII. Known charsets, by any of these\n"
    "names in any case:\n";

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
    "line, which counts its bytes, wherever it stands, and every other stretch up to and\n"
    "including the next CR LF CR LF is one request, of any protocol. A reply answers a\n"
    "request of its own run: the one it names by its offset, size and CRC-32, which holds\n"
    "in a log cut at the front or pieced together from several, and in a log of earlier\n"
    "relays (offset alone) the request right before it where the offset no longer holds.\n"
    "Where several module files share one log, or processes used one module file at the\n"
    "same time, their runs are interleaved as they were written; when two runs were\n"
    "surely open at once (a detach entry follows another with no attach entry between\n"
    "them), standard error says that the runs cannot be told apart.\n"
    "\n"
    "--follow shows what the log holds as above, then every entry once it is whole: an\n"
    "entry still being written waits. The run going on has the line \"run R:\" (\"run R:\n"
    "no attach\" when it does not start with an attach entry), since its counts are not\n"
    "known yet; so has every run that starts while pilro-log follows. A log that does not\n"
    "exist yet is waited for; one that is removed, or made anew, or cut shorter, is\n"
    "followed again from its start, with its runs counted from 1 again, and standard\n"
    "error says so. The log is read every tenth of a second, only its new bytes, and is\n"
    "never kept open in between: pilro, and the user deleting the log, are never held up.\n"
    "\n"
    "--summary counts each run's requests by kind: the request line, and for SHIORI\n"
    "its ID, for SAORI its Argument0 (\"EXECUTE SAORI/1.0 Argument0: x\"), read as\n"
    "above (a line or value is cut past 200 bytes, with \"...\"). A run's line says how\n"
    "many requests, kinds and replies it has, and its notes, damaged entries, replies\n"
    "that answer no request and cut-short entries. Each row gives the count, the\n"
    "replies by status code (\"other\" for a reply without one), null replies (null),\n"
    "requests without a reply entry (no reply), the real module's time for those with\n"
    "one (total, median, 95th percentile by nearest rank, maximum, in microseconds),\n"
    "and the bytes of the requests and of the replies; the total last. A log without\n"
    "reply entries (pilro's own) has counts and bytes in alone. --tsv writes one line\n"
    "per row, each starting with the run (\"all\" for all runs), what it counts\n"
    "(request, total, or the entries named above) and the kind.\n"
    "\n"
    "--html writes REPORT.html, which holds everything it shows and fetches nothing:\n"
    "the summary to sort by any column and filter by kind, for a run or all, the time\n"
    "of each request by its number in its run (a colour per kind; requests without a\n"
    "reply below the axis; the other entries as lines where they stand), and the\n"
    "texts of an exchange on a click on a row or a point. Each text is cut past 2048\n"
    "bytes, and the page holds texts, from the log's first request on, only up to\n"
    "12 MB and while the page stays under 20 MB; it says where they stop.\n"
    "\n"
    "Exit status: 0 when the log was shown; 1 when it cannot be read, has no run N, or\n"
    "holds no pilro entries (neither an entry of pilro's own nor a request, which starts\n"
    "with a request line such as \"EXECUTE SAORI/1.0\" or \"GET SHIORI/3.0\": METHOD, a\n"
    "blank, maybe more, and NAME/VERSION; an empty file, text or binary bytes; a log cut\n"
    "short, or begun in the middle of a run, is shown); 2 for bad arguments. --follow\n"
    "goes on until interrupted; it stops early, with 1, when the log's first entries are\n"
    "no pilro entries, when LOG cannot be read as it starts (other than for not\n"
    "existing) or becomes a directory, or when standard output fails. --html exits\n"
    "with 1 as well when REPORT.html cannot be written, or is LOG itself.\n";

void report(const std::string& message) {
    std::fprintf(stderr, "pilro-log: %s\n", message.c_str());
}

int usage_error(const std::string& message) {
    report(message);
    std::fprintf(stderr, "%sRun pilro-log --help for more.\n", synopsis);
    return 2;
}

bool ends_in_empty_line(std::string_view entry) {
    return entry.size() >= 4 && entry.compare(entry.size() - 4, 4, "\r\n\r\n") == 0;
}

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The request a reply answers, as its line shows it: "R.N", and the charset it names.
struct request_seen {
    std::string label;
    std::string charset;
};

// "(to R.N, T us[, length L][, no block]) TEXT": the request it answers (or "no request" when
// that is not in its run, "an unlogged request" when the relay could not log it), the time,
// the length where it is not the bytes' count, and the reply's bytes read in its own charset,
// or else in its request's.
std::string reply_text(const capture::reply& reply, const request_seen* request, readers& read) {
    std::string text = "(to " +
                       (request != nullptr ? request->label
                        : reply.paired     ? std::string("no request")
                                           : std::string("an unlogged request")) +
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
    charset::reader& reader = !capture::request_charset(reply.bytes).empty() || request == nullptr
                                  ? read.for_request(reply.bytes)
                                  : read.named(request->charset);
    return reply.bytes.empty() ? text : text + " " + reader.readable(reply.bytes);
}

// A run's first line. Only a finished run's counts are known.
std::string run_header(const capture::run& run, std::size_t number, bool finished) {
    std::string line = "run " + std::to_string(number) + ":";
    const bool no_attach = run.entries.front().kind != capture::entry_kind::attach;
    if (!finished) {
        return line + (no_attach ? " no attach\n" : "\n");
    }
    std::size_t counts[2] = {0, 0};  // requests, replies
    std::size_t bytes = 0;
    for (const capture::entry& e : run.entries) {
        counts[0] += e.kind == capture::entry_kind::request ? 1 : 0;
        counts[1] += e.kind == capture::entry_kind::reply ? 1 : 0;
        bytes += e.size;
    }
    line += " " + plural(run.entries.size(), "entry", "entries") + ", " +
            plural(counts[0], "request", "requests") + ", " +
            (counts[1] > 0 ? plural(counts[1], "reply", "replies") + ", " : "") +
            plural(bytes, "byte", "bytes");
    if (no_attach) {
        line += ", no attach";
    }
    if (run.entries.back().kind != capture::entry_kind::detach) {
        line += ", no detach";
    }
    return line + "\n";
}

// The line of entry N of run R; e lies in log. For a reply, request is the one it answers.
std::string entry_line(std::string_view log, const capture::entry& e, std::size_t run,
                       std::size_t n, const request_seen* request, readers& read) {
    const std::string_view entry = capture::entry_bytes(log, e);
    std::string text;
    switch (e.kind) {
        case capture::entry_kind::load:
            text = read.ascii().readable(capture::load_data(log, e));
            break;
        case capture::entry_kind::loadu:
            text = read.named("UTF-8").readable(capture::load_data(log, e));
            break;
        case capture::entry_kind::request:
            // The closing empty line goes without saying (a request without one ends where
            // its reply begins).
            text = read.for_request(entry).readable(
                entry.substr(0, entry.size() - (ends_in_empty_line(entry) ? 2 : 0)));
            break;
        case capture::entry_kind::reply:
            text = reply_text(capture::read_reply(log, e), request, read);
            break;
        case capture::entry_kind::note: {
            const std::string_view note = capture::note_text(log, e);
            text = read.for_note(note).readable(note);
            break;
        }
        case capture::entry_kind::damaged:
            text = read.ascii().readable(entry);
            break;
        case capture::entry_kind::cut_short:
            text = read.for_request(entry).readable(entry);
            break;
        default:
            break;
    }
    return label(run, n) + " " + capture::kind_name(e.kind) + " " + std::to_string(e.size) +
           (text.empty() ? "" : " " + text) + "\n";
}

// The lines of a run that split_runs made, and the reports on its damaged entries.
std::string run_lines(const std::string& path, std::string_view log, const capture::run& run,
                      std::size_t number, readers& read, std::vector<std::string>& reports) {
    std::string lines = run_header(run, number, true);
    for (std::size_t k = 0; k < run.entries.size(); ++k) {
        const capture::entry& e = run.entries[k];
        request_seen answered;
        if (e.request != capture::no_request) {
            answered = {label(number, e.request + 1), capture::request_charset(capture::entry_bytes(
                                                          log, run.entries[e.request]))};
        }
        lines += entry_line(log, e, number, k + 1,
                            e.request != capture::no_request ? &answered : nullptr, read);
        if (e.kind == capture::entry_kind::damaged) {
            reports.push_back(damage_report(path, log, e, 0, number, k + 1));
        }
    }
    return lines;
}

bool show(const std::string& text) {
    if (pilro::platform::write_text(text)) {
        return true;
    }
    report("cannot write to standard output");
    return false;
}

std::string reason(int code) {
    return std::generic_category().message(code);
}

// The log as it follows a host's work: what it holds, then each entry once it is whole. The
// file is read only for a moment at each look, from where the last look ended.
class follower {
  public:
    explicit follower(const std::string& path) : path_(path) {}

    // Looks until the log cannot be followed, then returns the exit status.
    int run() {
        for (bool first = true;; first = false) {
            bool soon = false;
            if (!look(first, soon)) {
                return 1;
            }
            // An entry that is being written is whole a moment later.
            std::this_thread::sleep_for(std::chrono::milliseconds(soon ? 10 : 100));
        }
    }

  private:
    // One look at the log. False when following has to stop; soon when an entry is being
    // written.
    bool look(bool first, bool& soon) {
        std::string bytes;
        std::uint64_t size = 0;
        pilro::platform::file_identity identity;
        const std::uint64_t end = shown_ + pending_.size();
        int code = pilro::platform::read_file_from(path_, end, bytes, size, identity);
        if (code == 0 && known_ && (identity != identity_ || size < end)) {
            report(path_ + " was made anew; following it from its start");
            forget();
            bytes.clear();
            code = pilro::platform::read_file_from(path_, 0, bytes, size, identity);
        }
        if (code == ENOENT) {
            if (first || known_) {
                report(known_ ? path_ + " is gone; waiting for it to be made again"
                              : "waiting for " + path_ + " to be made");
            }
            forget();
            return true;
        }
        if (code != 0) {
            const std::string why = "cannot open " + path_ + ": " + reason(code);
            if (first || code == EISDIR) {
                report(why);
                return false;
            }
            // Another program holding it without sharing, or the moment of its deletion.
            if (!troubled_) {
                report(why + "; trying again");
            }
            troubled_ = true;
            return true;
        }
        troubled_ = false;
        if (!known_) {
            known_ = true;
            identity_ = identity;
        }
        pending_ += bytes;
        std::vector<capture::entry> whole;
        std::size_t at = 0;
        while (at < pending_.size()) {
            capture::entry e = capture::entry_at(pending_, at, true, shown_);
            if (e.kind == capture::entry_kind::cut_short && bytes.empty()) {
                // Nothing came since the last look: what could have grown is whole.
                e = capture::entry_at(pending_, at, false, shown_);
            }
            if (e.kind == capture::entry_kind::cut_short) {
                break;
            }
            whole.push_back(e);
            at += e.size;
        }
        if (!whole.empty() && !show_entries(whole, first)) {
            return false;
        }
        pending_.erase(0, at);
        shown_ += at;
        soon = !pending_.empty() && !bytes.empty();
        return true;
    }

    // Shows the entries that one look found whole. Those of the first look are what the log
    // held when pilro-log started, shown as a whole log is; a run that begins after that is one
    // still going on.
    bool show_entries(const std::vector<capture::entry>& entries, bool first) {
        // Entries before the first run that opens here go on with the run shown last.
        std::vector<capture::entry> going_on;
        std::vector<capture::run> runs;
        for (capture::entry e : entries) {
            const bool opens = tracker_.opens_run(e.kind);
            if (opens) {
                runs.emplace_back();
            }
            e.request =
                pairing_.next(e, capture::entry_bytes(pending_, e), shown_ + e.offset, opens);
            (runs.empty() ? going_on : runs.back().entries).push_back(e);
        }
        if (!checked_ && !capture::holds_pilro_entries(pending_, runs)) {
            report(path_ + " holds no pilro entries");
            return false;
        }
        checked_ = true;
        std::string text;
        std::vector<std::string> reports;
        for (const capture::entry& e : going_on) {
            text += line_of(e, ++entry_number_, reports);
        }
        for (const capture::run& r : runs) {
            const bool finished = first && (&r != &runs.back() ||
                                            r.entries.back().kind == capture::entry_kind::detach);
            text += run_header(r, ++run_number_, finished);
            entry_number_ = 0;
            charsets_.clear();
            for (const capture::entry& e : r.entries) {
                text += line_of(e, ++entry_number_, reports);
            }
        }
        if (tracker_.overlapping() && !warned_) {
            warned_ = true;
            report(path_ + ": " + capture::shared_log_warning);
        }
        for (const std::string& damaged : reports) {
            report(damaged);
        }
        return show(text);
    }

    // The line of entry N of the run going on, which pending_ holds.
    std::string line_of(const capture::entry& e, std::size_t n, std::vector<std::string>& reports) {
        request_seen answered;
        if (e.request != capture::no_request) {
            const auto found = charsets_.find(e.request);
            answered.label = label(run_number_, e.request + 1);
            if (found != charsets_.end()) {
                answered.charset = found->second;
                charsets_.erase(found);
            }
        } else if (e.kind == capture::entry_kind::request) {
            charsets_[n - 1] = capture::request_charset(capture::entry_bytes(pending_, e));
            // Requests that no reply answers make way, as they do in the pairing.
            if (charsets_.size() > 65536) {
                charsets_.erase(charsets_.begin());
            }
        } else if (e.kind == capture::entry_kind::damaged) {
            reports.push_back(damage_report(path_, pending_, e, shown_, run_number_, n));
        }
        return entry_line(pending_, e, run_number_, n,
                          e.request != capture::no_request ? &answered : nullptr, read_);
    }

    // The file is gone or another: what comes next is a log of its own.
    void forget() {
        known_ = false;
        checked_ = false;
        warned_ = false;
        pending_.clear();
        shown_ = 0;
        tracker_ = capture::run_tracker();
        pairing_ = capture::reply_pairing();
        charsets_.clear();
        run_number_ = 0;
        entry_number_ = 0;
    }

    const std::string path_;
    readers read_;
    // The bytes read and not yet shown (an entry being written), and where in the file they
    // start.
    std::string pending_;
    std::uint64_t shown_ = 0;
    bool known_ = false;
    pilro::platform::file_identity identity_;
    // Whether the log's first entries have been found to be pilro's.
    bool checked_ = false;
    bool troubled_ = false;
    bool warned_ = false;
    capture::run_tracker tracker_;
    capture::reply_pairing pairing_;
    // The charsets of the requests of the run going on that no reply has answered yet, by their
    // index in the run: a followed log no longer holds their bytes once they are shown.
    std::map<std::size_t, std::string> charsets_;
    std::size_t run_number_ = 0;
    std::size_t entry_number_ = 0;
};

int show_log(const std::string& path, bool has_run, long long wanted) {
    std::string log;
    std::string error;
    if (!capture::read_log(path, log, error)) {
        report(error);
        return 1;
    }
    bool overlapping = false;
    const std::vector<capture::run> runs = capture::split_runs(log, &overlapping);
    if (!capture::holds_pilro_entries(log, runs)) {
        report(path + " holds no pilro entries" + (log.empty() ? ": it is empty" : ""));
        return 1;
    }
    if (overlapping) {
        report(path + ": " + capture::shared_log_warning);
    }
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
    for (std::size_t r = first; r < end; ++r) {
        std::vector<std::string> reports;
        if (!show(run_lines(path, log, runs[r], r + 1, read, reports))) {
            return 1;
        }
        for (const std::string& damaged : reports) {
            report(damaged);
        }
        if (runs[r].entries.back().kind == capture::entry_kind::cut_short) {
            report(path + " ends in the middle of an entry (its last " +
                   std::to_string(runs[r].entries.back().size) + " bytes)");
        }
    }
    return 0;
}

// Whether the two paths name one existing file.
bool same_file(const std::string& a, const std::string& b) {
    std::string none;
    std::uint64_t size = 0;
    pilro::platform::file_identity first;
    pilro::platform::file_identity second;
    return pilro::platform::read_file_from(a, 0, none, size, first, 0) == 0 &&
           pilro::platform::read_file_from(b, 0, none, size, second, 0) == 0 && first == second;
}

// --summary and --html: the log counted once, for either or both. log_name is LOG as the user
// typed it.
int show_counted(const std::string& path, const std::string& log_name,
                 const pilro::log::summary_options* summary, const std::string* page_path) {
    pilro::log::counted_log log;
    pilro::log::page_texts texts;
    std::string error;
    if (!pilro::log::count_log(path, log, page_path != nullptr ? &texts : nullptr, error)) {
        report(error);
        return 1;
    }
    for (const std::string& said : log.reports) {
        report(said);
    }
    if (summary != nullptr && !pilro::log::write_summary(log, *summary, show, error)) {
        if (!error.empty()) {
            report(path + ": " + error);
        }
        return 1;
    }
    if (page_path != nullptr) {
        if (same_file(*page_path, path)) {
            report(*page_path + " is the log itself: give the page another name");
            return 1;
        }
        const std::string page = pilro::log::report_page(
            log_name, log, texts, summary != nullptr ? summary->order : capture::row_order::time);
        if (!pilro::log::write_file(*page_path, page, error)) {
            report(error);
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    pilro::platform::set_binary_stdio();
    const std::vector<pilro::platform::argument> words =
        pilro::platform::program_arguments(argc, argv);

    std::string path;
    std::string log_name;
    bool has_path = false;
    bool has_run = false;
    bool follow = false;
    long long wanted = 0;
    bool summary = false;
    bool tsv = false;
    bool has_sort = false;
    capture::row_order order = capture::row_order::time;
    bool has_report = false;
    std::string report_path;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i].bytes;
        if (word == "-h" || word == "--help") {
            std::fputs(synopsis, stdout);
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
        } else if (word == "--follow") {
            follow = true;
        } else if (word == "--summary") {
            summary = true;
        } else if (word == "--tsv") {
            tsv = true;
        } else if (word == "--sort" || word == "--html") {
            if (i + 1 >= words.size()) {
                return usage_error(word + " needs a value");
            }
            const std::string& value = words[++i].bytes;
            if (word == "--html") {
                has_report = true;
                report_path = value;
            } else if (value == "time" || value == "count" || value == "name") {
                has_sort = true;
                order = value == "time"    ? capture::row_order::time
                        : value == "count" ? capture::row_order::count
                                           : capture::row_order::name;
            } else {
                return usage_error("--sort takes time, count or name; not \"" + value + "\"");
            }
        } else if (!word.empty() && word[0] == '-' && word != "-") {
            return usage_error("unknown option \"" + word + "\"");
        } else if (has_path) {
            return usage_error("one LOG only");
        } else {
            has_path = true;
            path = word;
            log_name = words[i].text.empty() ? readers().ascii().readable(word) : words[i].text;
        }
    }
    if (!has_path) {
        return usage_error("no log given");
    }
    if (follow && has_run) {
        return usage_error("--follow shows every run as it comes; it takes no --run");
    }
    if (follow && (summary || has_report)) {
        return usage_error("--follow shows entries as they come; it makes no summary or page");
    }
    if (tsv && !summary) {
        return usage_error("--tsv is for --summary");
    }
    if (has_sort && !summary && !has_report) {
        return usage_error("--sort is for --summary and --html");
    }
    if (has_report && has_run && !summary) {
        return usage_error("--html shows every run; it takes no --run");
    }
    if (summary || has_report) {
        const pilro::log::summary_options options{has_run, wanted, order, tsv};
        return show_counted(path, log_name, summary ? &options : nullptr,
                            has_report ? &report_path : nullptr);
    }
    return follow ? follower(path).run() : show_log(path, has_run, wanted);
}
