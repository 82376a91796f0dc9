// saori-host: a command-line SAORI/1.0 host. It loads a module the way a host application
// does, calls load, sends requests through request, prints each reply byte for byte, calls
// unload and releases the module. Run with --help for the command line.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "calllog/calllog.h"
#include "capture/capture_file.h"
#include "capture/capture_log.h"
#include "command_line.h"
#include "module/exports.h"
#include "module_file.h"
#include "platform/charset.h"
#include "platform/platform.h"
#include "prim/prim.h"

namespace {

using pilro::load_function;
using pilro::request_function;
using pilro::unload_function;

// A request or load text longer than this cannot have its length passed: long is 32 bits on
// Windows.
constexpr std::size_t longest_text = static_cast<std::size_t>(std::numeric_limits<long>::max());

void report(const std::string& message) {
    std::fprintf(stderr, "saori-host: %s\n", message.c_str());
}

bool read_standard_input(std::string& bytes) {
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
        bytes.append(chunk, got);
    }
    if (std::ferror(stdin)) {
        report("cannot read standard input");
        return false;
    }
    return true;
}

// A reply as the relay records it, and as --compare holds a new one against it.
struct reply_seen {
    // Whether there is one at all (the log may lack a request's reply).
    bool present = false;
    bool block = false;
    bool has_length = true;
    long long length = 0;
    // Up to the length, the block's end and the first NUL.
    std::string bytes;
};

// The requests of the run of the log that the command line picks, in the order captured;
// with --compare, the reply captured for each. loadu tells whether the run's first load was a
// loadu.
bool replayed_requests(const pilro::host::command_line& command, std::vector<std::string>& requests,
                       std::vector<reply_seen>& replies, bool& loadu) {
    namespace capture = pilro::capture;
    const std::string& path = command.replay_log;
    std::string log;
    std::string error;
    if (!capture::read_log(path, log, error)) {
        report(error);
        return false;
    }
    bool overlapping = false;
    const std::vector<capture::run> runs = capture::split_runs(log, &overlapping);
    if (runs.empty()) {
        report(path + " is empty");
        return false;
    }
    if (!capture::holds_pilro_entries(log, runs)) {
        report(path +
               " is no log that pilro captured: it holds no entry of pilro's own and no "
               "request (a request line such as \"EXECUTE SAORI/1.0\" or \"GET SHIORI/3.0\")");
        return false;
    }
    if (overlapping) {
        report(path + ": " + capture::shared_log_warning);
    }
    std::size_t index = 0;
    if (!capture::find_run(runs.size(), command.replay_run, index, error)) {
        report(path + ": " + error);
        return false;
    }
    bool any_reply = false;
    for (const capture::run& r : runs) {
        for (const capture::entry& e : r.entries) {
            any_reply = any_reply || e.kind == capture::entry_kind::reply;
        }
    }
    if (command.compare && !any_reply) {
        report(path +
               " holds no replies: capture the host's exchange with the relay (pilro-relay in "
               "front of the real module) to have replies to compare with");
        return false;
    }
    const std::vector<capture::entry>& entries = runs[index].entries;
    // Each request's reply, by the request's index among the run's entries.
    std::map<std::size_t, reply_seen> captured;
    for (const capture::entry& e : entries) {
        if (e.request != capture::no_request) {
            const capture::reply reply = capture::read_reply(log, e);
            captured[e.request] = {true, reply.block, reply.has_length, reply.length,
                                   std::string(reply.bytes)};
        }
    }
    bool loaded = false;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const capture::entry& e = entries[k];
        if (!loaded &&
            (e.kind == capture::entry_kind::load || e.kind == capture::entry_kind::loadu)) {
            loaded = true;
            loadu = e.kind == capture::entry_kind::loadu;
        }
        if (e.kind == capture::entry_kind::request) {
            requests.emplace_back(capture::entry_bytes(log, e));
            const auto reply = captured.find(k);
            replies.push_back(reply != captured.end() ? reply->second : reply_seen());
        } else if (e.kind == capture::entry_kind::damaged) {
            report(path + ": the damaged reply entry at byte " + std::to_string(e.offset) + " (" +
                   capture::damage(log, e) + ") is not sent");
        } else if (e.kind == capture::entry_kind::cut_short) {
            report(path + " ends in the middle of an entry (its last " + std::to_string(e.size) +
                   " bytes, with no empty line to end them); they are not sent");
        }
    }
    const std::string run =
        "run " + std::to_string(index + 1) + " of " + std::to_string(runs.size());
    if (requests.empty()) {
        report(path + ": " + run + " holds no requests");
        return false;
    }
    if (command.compare && captured.empty()) {
        report(path + ": " + run + " holds no replies to compare with");
        return false;
    }
    return true;
}

// The module's directory as hosts pass it for load data: a full path ending in a separator.
// Splitting goes by characters, so that a double-byte character ending in 0x5C stays whole.
std::string module_directory(const std::string& module) {
    std::string path = pilro::platform::full_path(module);
    if (path.empty()) {
        path = module;
    }
    return path.substr(0, pilro::directory_end(path, 0, pilro::prim::is_lead_byte,
                                               pilro::prim::backslash_separates));
}

// A fixed block holding exactly the bytes of text, with nothing after them; null when memory
// runs out.
void* text_block(const std::string& text) {
    void* block = pilro::prim::block_alloc(text.size());
    if (block != nullptr && !text.empty()) {
        std::memcpy(block, text.data(), text.size());
    }
    return block;
}

bool write_reply(const void* reply, std::size_t n) {
    return std::fwrite(reply, 1, n, stdout) == n && std::fflush(stdout) == 0;
}

// Sends the requests in order and prints the replies. A failed call (no reply block, or a
// length that does not fit the block) is named on standard error and the rest are sent all
// the same, as hosts go on; returns whether every call succeeded. Stops at once when memory
// runs out or standard output fails.
bool exchange_all(request_function request, const std::string& module,
                  const std::vector<std::string>& requests) {
    bool all_succeeded = true;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const std::string which = "request " + std::to_string(i + 1);
        void* block = text_block(requests[i]);
        if (block == nullptr) {
            report("out of memory for " + which);
            return false;
        }
        long length = static_cast<long>(requests[i].size());
        // The block is the module's from here on, whatever happens.
        void* reply = request(block, &length);
        if (reply == nullptr) {
            report(module + ": " + which + " got no reply block");
            all_succeeded = false;
            continue;
        }
        const auto n = static_cast<std::size_t>(length);
        if (length < 0 || n > pilro::prim::block_size(reply)) {
            report(module + ": " + which + " got a reply length of " + std::to_string(length) +
                   " for a block of " + std::to_string(pilro::prim::block_size(reply)) + " bytes");
            pilro::prim::block_free(reply);
            all_succeeded = false;
            continue;
        }
        const bool written = write_reply(reply, n);
        pilro::prim::block_free(reply);
        if (!written) {
            report("cannot write to standard output");
            return false;
        }
    }
    return all_succeeded;
}

// "(length L) TEXT", "(no block, length L)" or "(no reply in the log)"; TEXT read in the
// reply's charset, or else its request's, as pilro-log reads it.
std::string describe(const reply_seen& reply, const std::string& request) {
    if (!reply.present) {
        return "(no reply in the log)";
    }
    const std::string length = reply.has_length ? std::to_string(reply.length) : "-";
    if (!reply.block) {
        return "(no block, length " + length + ")";
    }
    std::string charset_name = pilro::capture::request_charset(reply.bytes);
    if (charset_name.empty()) {
        charset_name = pilro::capture::request_charset(request);
    }
    pilro::charset::reader reader(pilro::charset::find_charset(charset_name));
    return "(length " + length + ") " + reader.readable(reply.bytes);
}

// Sends the requests in order and holds each reply against the captured one, printing a
// line for each. Returns whether every reply was the same; false at once when a line cannot
// be written.
bool compare_all(request_function request, const std::vector<std::string>& requests,
                 const std::vector<reply_seen>& captured) {
    bool all_same = true;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        long length = static_cast<long>(requests[i].size());
        // Made here, so that memory running out is no module's reply.
        void* block = text_block(requests[i]);
        if (block == nullptr) {
            report("out of memory for request " + std::to_string(i + 1));
            return false;
        }
        void* reply = request(block, &length);
        // Read as the relay reads a reply: up to the length, the block's end and a NUL.
        reply_seen now{true, reply != nullptr, true, length, std::string()};
        if (reply != nullptr && length > 0) {
            const auto* bytes = static_cast<const char*>(reply);
            const std::size_t n =
                std::min(static_cast<std::size_t>(length), pilro::prim::block_size(reply));
            now.bytes.assign(bytes, std::find(bytes, bytes + n, '\0'));
        }
        pilro::prim::block_free(reply);
        const reply_seen& then = captured[i];
        const bool same = then.present && then.block == now.block &&
                          (!now.block || (then.bytes == now.bytes &&
                                          (!then.has_length || then.length == now.length)));
        all_same = all_same && same;
        const std::string line = "request " + std::to_string(i + 1) +
                                 (same ? ": same\n"
                                       : ": differs\tcaptured " + describe(then, requests[i]) +
                                             "\tnow " + describe(now, requests[i]) + "\n");
        if (!pilro::platform::write_text(line)) {
            report("cannot write to standard output");
            return false;
        }
    }
    return all_same;
}

// Which load the host calls, and with what.
struct load_call {
    // Whether the command line gives the load data; otherwise the module's directory, in UTF-8
    // for loadu.
    bool given;
    std::string data;
    // For a replayed run: whether it was captured with loadu.
    bool replay;
    bool captured_loadu;
};

// The host's part proper: load (or loadu), requests, unload, release. Returns the exit status.
// With replies to compare with, those are compared rather than the replies printed.
int run_module(const std::string& module, const load_call& how,
               const std::vector<std::string>& requests, const std::vector<reply_seen>* compare) {
    std::string error;
    void* library =
        pilro::platform::library_open(pilro::platform::library_file_path(module).c_str(), error);
    if (library == nullptr) {
        report("cannot load " + module + ": " + error);
        return 1;
    }
    const auto plain_load =
        reinterpret_cast<load_function>(pilro::platform::library_symbol(library, "load"));
    const auto loadu =
        reinterpret_cast<load_function>(pilro::platform::library_symbol(library, "loadu"));
    // Hosts call loadu where a module has it; a replay calls what the run called.
    const bool utf8 =
        loadu != nullptr && (!how.replay || how.captured_loadu || plain_load == nullptr);
    const load_function load = utf8 ? loadu : plain_load;
    const auto request =
        reinterpret_cast<request_function>(pilro::platform::library_symbol(library, "request"));
    const auto unload =
        reinterpret_cast<unload_function>(pilro::platform::library_symbol(library, "unload"));
    std::string missing;
    for (const auto& [name, found] : {std::pair<const char*, bool>{"load", load != nullptr},
                                      {"request", request != nullptr},
                                      {"unload", unload != nullptr}}) {
        if (!found) {
            missing += (missing.empty() ? "" : ", ") + std::string(name);
        }
    }
    if (!missing.empty()) {
        report(module + " is not a SAORI/1.0 module: it does not export " + missing);
        pilro::platform::library_close(library);
        return 1;
    }

    if (how.replay && how.captured_loadu && !utf8) {
        report(module + " exports no loadu, which the run called: its load gets the load data");
    }
    std::string load_data = how.data;
    if (!how.given && utf8) {
        load_data = pilro::platform::path_text(how.data);
        if (load_data.empty() && !how.data.empty()) {
            report("the module's directory is no text in the system's code page");
            pilro::platform::library_close(library);
            return 1;
        }
    }
    int status = 0;
    void* load_block = text_block(load_data);
    if (load_block == nullptr) {
        report("out of memory for the load data");
        status = 1;
    } else if (load(load_block, static_cast<long>(load_data.size())) == 0) {
        // A module that refuses to start gets no requests; unload still balances the load.
        report(module + (utf8 ? ": loadu" : ": load") + " returned 0 (FALSE)");
        status = 1;
    } else if (compare != nullptr ? !compare_all(request, requests, *compare)
                                  : !exchange_all(request, module, requests)) {
        status = 1;
    }
    if (unload() == 0) {
        report(module + ": unload returned 0 (FALSE)");
        status = 1;
    }
    pilro::platform::library_close(library);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    pilro::platform::set_binary_stdio();

    pilro::host::command_line command;
    std::string error;
    if (!pilro::host::parse_command_line(pilro::platform::program_arguments(argc, argv), command,
                                         error)) {
        const std::string usage = pilro::host::usage_text();
        report(error);
        std::fprintf(stderr, "%s\nRun saori-host --help for more.\n",
                     usage.substr(0, usage.find('\n')).c_str());
        return 2;
    }
    if (command.help) {
        std::fputs(pilro::host::usage_text().c_str(), stdout);
        return 0;
    }

    // Everything that can be found wrong without the module is found before it is loaded, so
    // that a failed run leaves no trace in the module's own records.
    const std::string problem = pilro::host::module_file_problem(command.module);
    if (!problem.empty()) {
        report(problem);
        return 1;
    }
    std::vector<std::string> requests;
    std::vector<reply_seen> captured;
    bool captured_loadu = false;
    if (command.replay && !replayed_requests(command, requests, captured, captured_loadu)) {
        return 1;
    }
    for (const pilro::host::request_source& source : command.requests) {
        std::string bytes;
        switch (source.origin) {
            case pilro::host::request_origin::text:
                bytes = source.value;
                break;
            case pilro::host::request_origin::file:
                if (!pilro::capture::read_file(source.value, "request file", bytes, error)) {
                    report(error);
                    return 1;
                }
                break;
            case pilro::host::request_origin::standard_input:
                if (!read_standard_input(bytes)) {
                    return 1;
                }
                break;
        }
        requests.push_back(std::move(bytes));
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].size() > longest_text) {
            report("request " + std::to_string(i + 1) + " is too long");
            return 1;
        }
    }
    const std::string load_data =
        command.has_load_data ? command.load_data : module_directory(command.module);
    if (load_data.size() > longest_text) {
        report("the load data is too long");
        return 1;
    }
    return run_module(command.module,
                      {command.has_load_data, load_data, command.replay, captured_loadu}, requests,
                      command.compare ? &captured : nullptr);
}
