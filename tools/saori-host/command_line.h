// The command line of saori-host: which module to load, with what load data, and which
// requests to send in which order.
#ifndef PILRO_SAORI_HOST_COMMAND_LINE_H
#define PILRO_SAORI_HOST_COMMAND_LINE_H

#include <string>
#include <vector>

#include "platform/platform.h"

namespace pilro::host {

// Where one request's bytes come from. The built-in requests are complete texts by the time
// the command line has been read; files and standard input are read later.
enum class request_origin { text, file, standard_input };

struct request_source {
    request_origin origin;
    // The request text itself, or the path of the file that holds it.
    std::string value;
};

struct command_line {
    bool help = false;
    std::string module;
    bool has_load_data = false;
    std::string load_data;
    std::vector<request_source> requests;
    // --replay: the requests are those of one run of this log, and no others.
    bool replay = false;
    std::string replay_log;
    long long replay_run = -1;
    // --compare: each reply is held against the one the log captured, instead of printed.
    bool compare = false;
};

// The text --help prints; its first line is the synopsis.
std::string usage_text();

// Reads the words after the program's name. Returns false and says what is wrong in error
// when they do not make a command line, or when the text of a request they build cannot be
// written in the charset it names.
bool parse_command_line(const std::vector<platform::argument>& words, command_line& out,
                        std::string& error);

}  // namespace pilro::host

#endif
