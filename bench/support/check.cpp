#include "check.h"

#include <cstdio>

#include "calllog/calllog.h"
#include "platform.h"
#include "texts.h"

namespace pilro::bench {
namespace {

// Printable form of a byte string for fault reports: CR and LF spelled out, long texts cut.
std::string shown(const std::string& bytes) {
    std::string out;
    for (const char c : bytes.substr(0, 80)) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\0') {
            out += "\\0";
        } else {
            out += c;
        }
    }
    if (bytes.size() > 80) {
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return "\"" + out + "\"";
}

// Runs one call and checks the bytes it appends to the log.
template <typename Call>
void expect_entry(std::vector<std::string>& faults, const std::string& log_file,
                  const std::string& what, const std::string& entry, Call call) {
    const std::string before = read_file(log_file);
    call();
    const std::string after = read_file(log_file);
    if (after.size() < before.size() || after.compare(0, before.size(), before) != 0) {
        faults.push_back(what + ": the log's earlier bytes changed");
    } else if (after.substr(before.size()) != entry) {
        faults.push_back(what + ": log entry " + shown(after.substr(before.size())) +
                         ", expected " + shown(entry));
    }
}

void expect_reply(std::vector<std::string>& faults, const std::string& log_file,
                  const entry_points& module, const std::string& what, const std::string& text,
                  std::string_view expected) {
    long length = 0;
    std::string reply;
    expect_entry(faults, log_file, what, text, [&] { length = round_trip(module, text, &reply); });
    const std::string with_nul = std::string(expected) + '\0';
    if (reply != with_nul || length != static_cast<long>(expected.size())) {
        faults.push_back(what + ": reply " + shown(reply) + " with length " +
                         std::to_string(length) + ", expected " + shown(with_nul) +
                         " with length " + std::to_string(expected.size()));
    }
}

void report(const char* subject, const std::vector<std::string>& faults) {
    if (faults.empty()) {
        std::printf("check: %s: replies and log entries are right\n", subject);
        return;
    }
    for (const std::string& fault : faults) {
        std::printf("check: %s: WRONG: %s\n", subject, fault.c_str());
    }
}

}  // namespace

std::vector<std::string> check_replies_and_log(const entry_points& module,
                                               const std::string& log_file) {
    std::vector<std::string> faults;
    expect_entry(faults, log_file, "load", "load() C:\\host\\saori\\\r\n\r\n",
                 [&] { load_with(module, "C:\\host\\saori\\"); });
    expect_reply(faults, log_file, module, "GET Version", version_request(), reply_ok);
    expect_reply(faults, log_file, module, "EXECUTE", execute_request(), reply_no_content);
    expect_reply(faults, log_file, module, "unknown method", unknown_method_request(),
                 reply_bad_request);
    expect_reply(faults, log_file, module, "EXECUTE of 1 MiB", execute_request(1 << 20),
                 reply_no_content);
    expect_entry(faults, log_file, "unload", "unload()\r\n\r\n", [&] { module.unload(); });
    return faults;
}

bool module_is_right() {
    bool right = true;

    const std::string linked_log = fresh_directory("check-linked") + separator + "pilro.txt";
    const std::string saved_log_path = log_path;
    set_log_file(linked_log);
    const std::vector<std::string> linked_faults =
        check_replies_and_log(linked_module(), linked_log);
    set_log_file(saved_log_path);
    report("linked exports", linked_faults);
    right = right && linked_faults.empty();

    const std::string directory = fresh_directory("check-loaded");
    const std::string module_file = directory + separator + "pilro.module";
    const std::string loaded_log = directory + separator + "pilro.txt";
    if (!copy_file(built_module(), module_file)) {
        std::printf("check: cannot copy %s to %s\n", built_module().c_str(), module_file.c_str());
        return false;
    }
    std::vector<std::string> loaded_faults;
    {
        const std::string attach = "DllMain(Attach)\r\n\r\n";
        loaded_module module(module_file);
        if (!module.ok()) {
            std::printf("check: cannot load %s: %s\n", module_file.c_str(), module.error().c_str());
            return false;
        }
        if (read_file(loaded_log) != attach) {
            loaded_faults.push_back("attach: the log holds " + shown(read_file(loaded_log)) +
                                    ", expected " + shown(attach));
        }
        const std::vector<std::string> faults = check_replies_and_log(module.exports(), loaded_log);
        loaded_faults.insert(loaded_faults.end(), faults.begin(), faults.end());
        empty_file(loaded_log);
    }
    const std::string detach = "DllMain(Detach)\r\n\r\n";
    if (read_file(loaded_log) != detach) {
        loaded_faults.push_back("detach: the log gained " + shown(read_file(loaded_log)) +
                                ", expected " + shown(detach));
    }
    report("loaded module file", loaded_faults);
    right = right && loaded_faults.empty();

    if (!right) {
        std::printf("check: the module is wrong; nothing is measured\n");
    }
    return right;
}

}  // namespace pilro::bench
