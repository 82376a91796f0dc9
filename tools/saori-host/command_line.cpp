#include "command_line.h"

#include <cstring>

#include "capture/capture_log.h"
#include "platform/charset.h"

namespace pilro::host {

namespace {

// The usage text, with the list of charsets put in at its place.
std::string make_usage_text() {
    std::string text =
        "usage: saori-host MODULE [--load DATA] [OPTION ...] [REQUEST ...]\n"
        "       saori-host MODULE [--load DATA] --replay LOG [--run N] [--compare]\n"
        "\n"
        "Loads the module MODULE as a host does, calls its load, sends each REQUEST in order\n"
        "through its request and writes each reply to standard output exactly as returned,\n"
        "then calls unload and releases the module. Any module of the three exports load,\n"
        "request and unload will do: SAORI/1.0, SHIORI/3.0 and the others that use them.\n"
        "Where the module exports loadu, the load that takes the folder in UTF-8, that is\n"
        "called in place of load, as hosts do.\n"
        "\n"
        "  --load DATA          the load data (default: the module's directory as a full\n"
        "                       path ending in a separator, which is what hosts pass; in\n"
        "                       UTF-8 for loadu)\n"
        "  -h, --help           show this text\n"
        "OPTIONs, for the requests that --get-version, --request and --execute build; each\n"
        "applies to all of them wherever it stands:\n"
        "  --charset NAME       their Charset header (default: UTF-8), and the charset\n"
        "                       their text is written in\n"
        "  --sender NAME        their Sender header (default: saori-host)\n"
        "  --header 'N: V'      one more header line N: V after Charset and Sender; may be\n"
        "                       repeated. N is a name without blanks or colon; Charset and\n"
        "                       Sender have options of their own.\n"
        "\n"
        "REQUEST is one of:\n"
        "  FILE                 the bytes of FILE, sent unchanged\n"
        "  -                    the bytes of standard input (at most once)\n"
        "  --get-version        GET Version SAORI/1.0\n"
        "  --request LINE       a request whose request line is LINE, for the other\n"
        "                       protocols of the same exports: --request 'GET SHIORI/3.0'\n"
        "                       --header 'ID: OnBoot'\n"
        "  --execute [ARG ...]  EXECUTE SAORI/1.0 with the ARGs as Argument0, Argument1, ...\n"
        "                       The ARGs run up to the next word that starts with \"--\"; a\n"
        "                       lone \"--\" ends them and is dropped. An ARG cannot hold CR or\n"
        "                       LF: send such a request from a FILE.\n"
        "Built requests hold the request line, \"Charset: NAME\", \"Sender: NAME\", the\n"
        "--header lines, one ArgumentN line per ARG and an empty line; every line ends in\n"
        "CR LF. Their text (LINE, ARGs, sender, header lines) is the characters typed (on\n"
        "Windows as the command line holds them, on POSIX read in the locale's charset)\n"
        "written in the charset that --charset names. A character that charset cannot hold\n"
        "exactly is an error: nothing is replaced or approximated. The charsets known, in any\n"
        "case:\n";
    text += charset::known_names;
    text +=
        "Under any other name only ASCII text can be sent, as it is: a request, whose request\n"
        "line and header names are ASCII, can only be written in a charset that keeps ASCII\n"
        "as it is. FILE and standard input are sent as bytes, unconverted.\n"
        "\n"
        "A call that fails (no reply block, or a reply length that does not fit its block) is\n"
        "named on standard error, and the remaining requests are sent all the same, as hosts\n"
        "go on after a failed call.\n"
        "\n"
        "Replaying a log that pilro captured:\n"
        "  --replay LOG         send the requests of one run of LOG, in the order they were\n"
        "                       captured, and no REQUEST or OPTION\n"
        "  --run N              the run: N counts from 1, -N from the end (default -1, the\n"
        "                       last run)\n"
        "A run is everything from an attach entry to the next detach entry; entries outside\n"
        "such a frame form runs of their own. pilro's own entries are known by their exact\n"
        "texts: DllMain(Attach), DllMain(Detach) and unload(), each with an empty line, and\n"
        "\"load() \" (or the relay's \"loadu() \") up to its closing empty line. Every other\n"
        "stretch of the log, up to and including the next CR LF CR LF, is one request, sent\n"
        "as those bytes. The load data is not taken from the log, where it names the\n"
        "capturing machine's directory: it is the default above unless --load is given. A\n"
        "run whose load was a loadu goes through the module's loadu, or where it has none\n"
        "through its load, which standard error then says; any other run through load. A\n"
        "request that the log's end cuts short is not sent, and standard error says so. A\n"
        "file that holds neither an entry of pilro's own nor a request (which starts with a\n"
        "request line, METHOD, a blank, maybe more, and NAME/VERSION: \"EXECUTE SAORI/1.0\",\n"
        "\"GET SHIORI/3.0\") is no log of pilro's and is refused; a log cut short, or begun in\n"
        "the middle of a run, is not.\n"
        "Where several module files share one log, or processes used one at the same time,\n"
        "their runs are interleaved and saori-host does not take them apart; when two runs\n"
        "were surely open at once (a detach entry follows another with no attach entry\n"
        "between them), standard error says so. pilro-log shows a log's runs and entries.\n"
        "  --compare            instead of printing the replies, hold each one against the\n"
        "                       reply the log captured for that request, byte for byte\n"
        "Only the relay (pilro-relay in front of the real module) captures replies; they and\n"
        "its notes are known by their first lines (pilro-log --help shows them), and are\n"
        "never sent, nor is a damaged reply entry (standard error names it). A reply goes\n"
        "with the request of its run that it names, also in a log cut at the front or pieced\n"
        "together; one whose request is not in its run (the log was deleted while the call\n"
        "was inside the real module) goes with none. --compare prints one line per request:\n"
        "\"request K: same\" when the module returned the same bytes with the same length as\n"
        "captured, or the same null reply; else \"request K: differs\", a tab, \"captured \"\n"
        "and the captured reply, a tab, \"now \" and the new one, each as \"(length L) TEXT\",\n"
        "\"(no block, length L)\" or, for a request whose reply the log lacks, \"(no reply in\n"
        "the log)\". TEXT is the reply's bytes up to the length and a NUL, read as pilro-log\n"
        "reads them. Times are not compared.\n"
        "\n"
        "Exit status: 0 when every call succeeded (with --compare: and every reply was the\n"
        "same); 1 when the module, a request file or the log cannot be used (the log: also\n"
        "when it is no log of pilro's, has no such run, the run no requests, or, with\n"
        "--compare, no replies) or the module failed any call (with --compare: or any reply\n"
        "differs); 2 for bad arguments, text the charset cannot hold included.\n";
    return text;
}

bool starts_with_dashes(const std::string& word) {
    return word.compare(0, 2, "--") == 0;
}

// A header value with a line break in it would end its line early and smuggle in a header
// or the request's end.
bool fits_one_line(const platform::argument& word) {
    return word.bytes.find_first_of("\r\n") == std::string::npos &&
           word.text.find_first_of("\r\n") == std::string::npos;
}

bool is_ascii(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool same_name(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (c != b[i]) {
            return false;
        }
    }
    return true;
}

// Checks that a --header word has the shape "Name: value"; error says what is wrong.
bool header_shape(const platform::argument& word, std::string& error) {
    const std::string& line = word.not_text.empty() ? word.text : word.bytes;
    const std::size_t colon = line.find(':');
    bool name_ok = colon != std::string::npos && colon > 0;
    for (std::size_t i = 0; name_ok && i < colon; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        name_ok = c > 0x20 && c < 0x7F;
    }
    if (!name_ok || line.compare(colon, 2, ": ") != 0) {
        error = "--header takes a line of the shape \"Name: value\", not \"" + word.bytes + "\"";
        return false;
    }
    const std::string name = line.substr(0, colon);
    if (same_name(name, "charset") || same_name(name, "sender")) {
        error = "--header cannot give " + name + "; use --" +
                (same_name(name, "charset") ? "charset" : "sender");
        return false;
    }
    return true;
}

// The text of one word as a built request carries it: in the charset the request names.
// what names the word for messages.
bool write_word(const platform::argument& word, const charset::charset* in,
                const std::string& charset_name, const std::string& what, std::string& out,
                std::string& error) {
    if (!word.not_text.empty()) {
        error = what + " cannot be sent: " + word.not_text;
        return false;
    }
    if (in == nullptr) {
        if (!is_ascii(word.text)) {
            error = what + " is not ASCII, and \"" + charset_name +
                    "\" is no charset that saori-host can write (saori-host --help lists them)";
            return false;
        }
        out += word.text;
        return true;
    }
    std::string why;
    if (!charset::encode(*in, word.text, out, why)) {
        error = what + ": " + why;
        return false;
    }
    return true;
}

// A built request before the charset, sender and headers are known; they may come later on
// the command line.
struct pending_request {
    bool execute;
    std::vector<const platform::argument*> arguments;
    // The request line that --request gives; null for the other two.
    const platform::argument* line = nullptr;
};

}  // namespace

std::string usage_text() {
    static const std::string text = make_usage_text();
    return text;
}

bool parse_command_line(const std::vector<platform::argument>& words, command_line& out,
                        std::string& error) {
    if (words.empty()) {
        error = "no module given";
        return false;
    }
    const std::string& first = words[0].bytes;
    if (first == "-h" || first == "--help") {
        out.help = true;
        return true;
    }
    if (first.empty() || first[0] == '-') {
        error = "the first argument must be the module file, not \"" + first + "\"";
        return false;
    }
    out.module = first;

    const platform::argument utf_8{"UTF-8", "UTF-8", std::string()};
    const platform::argument saori_host{"saori-host", "saori-host", std::string()};
    const platform::argument* charset_word = &utf_8;
    const platform::argument* sender = &saori_host;
    bool has_charset = false;
    bool has_sender = false;
    bool has_run = false;
    bool stdin_taken = false;
    std::vector<const platform::argument*> headers;
    // Built requests wait here, at their place among the others, for the options above.
    std::vector<pending_request> pending;
    std::vector<std::size_t> pending_slots;

    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i].bytes;
        if (word == "-h" || word == "--help") {
            out.help = true;
            return true;
        }
        if (word == "--load" || word == "--charset" || word == "--sender" || word == "--header" ||
            word == "--replay" || word == "--run" || word == "--request") {
            if (i + 1 >= words.size()) {
                error = word + " needs a value";
                return false;
            }
            const platform::argument& value = words[++i];
            bool twice = false;
            if (word == "--load") {
                twice = out.has_load_data;
                out.has_load_data = true;
                out.load_data = value.bytes;
            } else if (word == "--charset") {
                twice = has_charset;
                has_charset = true;
                charset_word = &value;
            } else if (word == "--sender") {
                twice = has_sender;
                has_sender = true;
                sender = &value;
            } else if (word == "--header") {
                if (!header_shape(value, error)) {
                    return false;
                }
                headers.push_back(&value);
            } else if (word == "--request") {
                if (value.bytes.empty()) {
                    error = "--request needs a request line, such as \"GET SHIORI/3.0\"";
                    return false;
                }
                pending_slots.push_back(out.requests.size());
                out.requests.push_back({request_origin::text, std::string()});
                pending.push_back({false, {}, &value});
            } else if (word == "--replay") {
                twice = out.replay;
                out.replay = true;
                out.replay_log = value.bytes;
            } else {
                twice = has_run;
                has_run = true;
                if (!capture::parse_run_number(value.bytes, out.replay_run)) {
                    error =
                        "--run takes a run number: 1, 2, ... from the first run, -1, -2, "
                        "... from the last; not \"" +
                        value.bytes + "\"";
                    return false;
                }
            }
            if (twice) {
                error = word + " given twice";
                return false;
            }
            if (word != "--load" && word != "--replay" && !fits_one_line(value)) {
                error = "the " + word + " value cannot hold CR or LF";
                return false;
            }
        } else if (word == "--compare") {
            if (out.compare) {
                error = "--compare given twice";
                return false;
            }
            out.compare = true;
        } else if (word == "--get-version") {
            pending_slots.push_back(out.requests.size());
            out.requests.push_back({request_origin::text, std::string()});
            pending.push_back({false, {}});
        } else if (word == "--execute") {
            pending_request execute{true, {}};
            while (i + 1 < words.size() && !starts_with_dashes(words[i + 1].bytes)) {
                execute.arguments.push_back(&words[++i]);
                if (!fits_one_line(words[i])) {
                    error = "argument " + std::to_string(execute.arguments.size() - 1) +
                            " of --execute holds CR or LF; send such a request from a file";
                    return false;
                }
            }
            if (i + 1 < words.size() && words[i + 1].bytes == "--") {
                ++i;
            }
            pending_slots.push_back(out.requests.size());
            out.requests.push_back({request_origin::text, std::string()});
            pending.push_back(std::move(execute));
        } else if (word == "-") {
            if (stdin_taken) {
                error = "standard input (\"-\") can be read only once";
                return false;
            }
            stdin_taken = true;
            out.requests.push_back({request_origin::standard_input, std::string()});
        } else if (word == "--") {
            error = "\"--\" only ends the arguments of --execute";
            return false;
        } else if (!word.empty() && word[0] == '-') {
            error = "unknown option \"" + word + "\"";
            return false;
        } else {
            out.requests.push_back({request_origin::file, word});
        }
    }

    if (out.replay) {
        if (!out.requests.empty()) {
            error = "--replay sends the requests of the log and no others";
            return false;
        }
        if (has_charset || has_sender || !headers.empty()) {
            error = "--charset, --sender and --header are for built requests, not for --replay";
            return false;
        }
        return true;
    }
    if (has_run || out.compare) {
        error = std::string(has_run ? "--run picks" : "--compare compares") +
                " a run of the log that --replay names";
        return false;
    }

    // The charset's name goes into the header as it was given.
    const std::string& charset_name = charset_word->bytes;
    const charset::charset* in = charset::find_charset(charset_name);
    std::string common = "Charset: " + charset_name + "\r\nSender: ";
    if (!write_word(*sender, in, charset_name, "the --sender value", common, error)) {
        return false;
    }
    common += "\r\n";
    for (const platform::argument* header : headers) {
        if (!write_word(*header, in, charset_name, "--header \"" + header->bytes + "\"", common,
                        error)) {
            return false;
        }
        common += "\r\n";
    }
    for (std::size_t k = 0; k < pending.size(); ++k) {
        std::string text;
        if (pending[k].line != nullptr) {
            if (!write_word(*pending[k].line, in, charset_name, "the --request line", text,
                            error)) {
                return false;
            }
            text += "\r\n";
        } else {
            text = pending[k].execute ? "EXECUTE SAORI/1.0\r\n" : "GET Version SAORI/1.0\r\n";
        }
        text += common;
        for (std::size_t n = 0; n < pending[k].arguments.size(); ++n) {
            text += "Argument" + std::to_string(n) + ": ";
            if (!write_word(*pending[k].arguments[n], in, charset_name,
                            "argument " + std::to_string(n) + " of --execute", text, error)) {
                return false;
            }
            text += "\r\n";
        }
        text += "\r\n";
        out.requests[pending_slots[k]].value = std::move(text);
    }
    return true;
}

}  // namespace pilro::host
