// pilro-log: a log that pilro captured, one line per run and per entry, readable without a
// hex viewer and stable enough to compare two captures with diff. Run with --help for the
// format.
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
    "Shows the log LOG that pilro captured (pilro.txt): one line per run, then one line\n"
    "per entry of that run.\n"
    "\n"
    "  --run N      only run N: N counts from 1, -N from the end (-1 is the last run)\n"
    "  -h, --help   show this text\n"
    "\n"
    "A run line reads\n"
    "  run R: E entries, Q requests, B bytes\n"
    "with \", no attach\" or \", no detach\" after it when the run does not start with an\n"
    "attach entry or end with a detach entry. An entry line reads\n"
    "  R.N KIND SIZE TEXT\n"
    "R is the run's number and N the entry's within the run, both from 1; SIZE is the\n"
    "entry's length in bytes in the log, its closing empty line included. KIND is\n"
    "attach, detach, load, unload, request or cut-short (the log ends inside this entry).\n"
    "TEXT, after a blank, is for a load entry its data, for a request its request line\n"
    "and header lines each with its CR LF, for a cut-short entry all its bytes; attach,\n"
    "detach and unload entries and empty load data have none.\n"
    "\n"
    "TEXT is one line of UTF-8. A request's bytes (and a cut-short one's) are read in\n"
    "the charset that its own Charset header names; other entries, requests without\n"
    "the header and requests naming a charset not known here are read as ASCII. Known\n"
    "charsets, by any of these names in any case:\n";

const char usage_tail[] =
    "Backslash is shown as \\\\, CR, LF and tab as \\r, \\n and \\t, other control\n"
    "characters as \\xNN (C1 controls as \\u0080..\\u009F), and every byte that is no\n"
    "character in that charset as \\xNN; nothing is dropped. On a Windows console the\n"
    "characters are written through its wide-character API; anywhere else the output is\n"
    "UTF-8 bytes with LF line ends, the same on every platform.\n"
    "\n"
    "Runs and entries are those saori-host --replay sends: a run is everything from an\n"
    "attach entry to the next detach entry, and entries outside such a frame form runs of\n"
    "their own. pilro's own entries are known by their exact texts, and every other\n"
    "stretch up to and including the next CR LF CR LF is one request. Where several\n"
    "processes wrote to one log at once, their runs are interleaved as they were written.\n"
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

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string run_lines(std::string_view log, const capture::run& run, std::size_t number,
                      readers& read) {
    std::size_t requests = 0;
    std::size_t bytes = 0;
    for (const capture::entry& e : run.entries) {
        requests += e.kind == capture::entry_kind::request ? 1 : 0;
        bytes += e.size;
    }
    std::string lines =
        "run " + std::to_string(number) + ": " + plural(run.entries.size(), "entry", "entries") +
        ", " + plural(requests, "request", "requests") + ", " + plural(bytes, "byte", "bytes");
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
                // The closing empty line goes without saying.
                text = read.for_request(entry).readable(entry.substr(0, entry.size() - 2));
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
    for (std::size_t r = first; r < end; ++r) {
        if (!pilro::platform::write_text(run_lines(log, runs[r], r + 1, read))) {
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
