#include "command_line.h"

#include <cstring>

namespace pilro::host {

const char usage_text[] =
    "usage: saori-host MODULE [--load DATA] [--charset NAME] [REQUEST ...]\n"
    "\n"
    "Loads the SAORI/1.0 module MODULE as a host does, calls its load, sends each REQUEST\n"
    "in order through its request and writes each reply to standard output exactly as\n"
    "returned, then calls unload and releases the module.\n"
    "\n"
    "  --load DATA          the load data (default: the module's directory as a full\n"
    "                       path ending in a separator, which is what hosts pass)\n"
    "  --charset NAME       the Charset header of the requests that --get-version and\n"
    "                       --execute build (default: UTF-8); it applies to all of them\n"
    "                       wherever it stands, and nothing is converted\n"
    "  -h, --help           show this text\n"
    "\n"
    "REQUEST is one of:\n"
    "  FILE                 the bytes of FILE, sent unchanged\n"
    "  -                    the bytes of standard input (at most once)\n"
    "  --get-version        GET Version SAORI/1.0\n"
    "  --execute [ARG ...]  EXECUTE SAORI/1.0 with the ARGs as Argument0, Argument1, ...\n"
    "                       The ARGs run up to the next word that starts with \"--\"; a\n"
    "                       lone \"--\" ends them and is dropped. An ARG cannot hold CR or\n"
    "                       LF: send such a request from a FILE.\n"
    "Built requests carry the headers \"Charset: NAME\" and \"Sender: saori-host\"; all\n"
    "their lines end in CR LF.\n"
    "\n"
    "Exit status: 0 when every call succeeded; 1 when the module or a request file cannot\n"
    "be used or the module fails a call; 2 for bad arguments.\n";

namespace {

bool starts_with_dashes(const char* word) {
    return std::strncmp(word, "--", 2) == 0;
}

// A header value with a line break in it would end its line early and smuggle in a header
// or the request's end.
bool fits_one_line(const std::string& value) {
    return value.find_first_of("\r\n") == std::string::npos;
}

// A built request before the charset is known; it may come later on the command line.
struct pending_request {
    bool execute;
    std::vector<std::string> arguments;
};

}  // namespace

std::string built_request(bool execute, const std::vector<std::string>& arguments,
                          const std::string& charset) {
    std::string text = execute ? "EXECUTE SAORI/1.0\r\n" : "GET Version SAORI/1.0\r\n";
    text += "Charset: " + charset + "\r\n";
    text += "Sender: saori-host\r\n";
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        text += "Argument" + std::to_string(i) + ": " + arguments[i] + "\r\n";
    }
    text += "\r\n";
    return text;
}

bool parse_command_line(int argc, const char* const* argv, command_line& out, std::string& error) {
    if (argc < 2) {
        error = "no module given";
        return false;
    }
    const std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        out.help = true;
        return true;
    }
    if (first.empty() || first[0] == '-') {
        error = "the first argument must be the module file, not \"" + first + "\"";
        return false;
    }
    out.module = first;

    bool has_charset = false;
    std::string charset = "UTF-8";
    bool stdin_taken = false;
    // Built requests wait here, at their place among the others, for the charset.
    std::vector<pending_request> pending;
    std::vector<std::size_t> pending_slots;

    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help") {
            out.help = true;
            return true;
        }
        if (word == "--load" || word == "--charset") {
            if (i + 1 >= argc) {
                error = word + " needs a value";
                return false;
            }
            const bool is_load = word == "--load";
            if (is_load ? out.has_load_data : has_charset) {
                error = word + " given twice";
                return false;
            }
            const std::string value = argv[++i];
            if (is_load) {
                out.has_load_data = true;
                out.load_data = value;
            } else {
                if (!fits_one_line(value)) {
                    error = "the --charset value cannot hold CR or LF";
                    return false;
                }
                has_charset = true;
                charset = value;
            }
        } else if (word == "--get-version") {
            pending_slots.push_back(out.requests.size());
            out.requests.push_back({request_origin::text, std::string()});
            pending.push_back({false, {}});
        } else if (word == "--execute") {
            pending_request execute{true, {}};
            while (i + 1 < argc && !starts_with_dashes(argv[i + 1])) {
                execute.arguments.emplace_back(argv[++i]);
                if (!fits_one_line(execute.arguments.back())) {
                    error = "argument " + std::to_string(execute.arguments.size() - 1) +
                            " of --execute holds CR or LF; send such a request from a file";
                    return false;
                }
            }
            if (i + 1 < argc && std::strcmp(argv[i + 1], "--") == 0) {
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

    for (std::size_t k = 0; k < pending.size(); ++k) {
        out.requests[pending_slots[k]].value =
            built_request(pending[k].execute, pending[k].arguments, charset);
    }
    return true;
}

}  // namespace pilro::host
