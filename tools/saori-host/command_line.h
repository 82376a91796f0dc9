// The command line of saori-host: which module to load, with what load data, and which
// requests to send in which order.
#ifndef PILRO_SAORI_HOST_COMMAND_LINE_H
#define PILRO_SAORI_HOST_COMMAND_LINE_H

#include <string>
#include <vector>

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
};

// The text --help prints; its first line is the synopsis.
extern const char usage_text[];

// Reads argv[1..argc-1]. Returns false and says what is wrong in error when the words do not
// make a command line.
bool parse_command_line(int argc, const char* const* argv, command_line& out, std::string& error);

// The request --get-version (execute false) or --execute (execute true) sends: request line,
// Charset and Sender headers, one ArgumentN header per argument, empty line; CR LF throughout.
std::string built_request(bool execute, const std::vector<std::string>& arguments,
                          const std::string& charset);

}  // namespace pilro::host

#endif
