#include "workbench.h"

#include "calllog/calllog.h"
#include "module/lifecycle.h"
#include "platform.h"
#include "texts.h"

namespace pilro::bench {
namespace {

constexpr std::string_view attach_entry = "DllMain(Attach)\r\n\r\n";
constexpr std::int64_t file_limit = 64 << 20;

// Keeps the lead-byte table's result alive, so that building it is not optimised away.
volatile unsigned lead_byte_sink = 0;

}  // namespace

workbench::workbench() : linked_(linked_module()) {
    const std::string directory = fresh_directory("timing");
    linked_log_ = directory + separator + "pilro.txt";
    bare_file_ = directory + separator + "bare.txt";
    attach_bare_file_ = directory + separator + "bare-attach.txt";
    set_log_file(linked_log_);

    const std::string module_directory = fresh_directory("timing-module");
    const std::string module_file = module_directory + separator + "pilro.module";
    loaded_log_ = module_directory + separator + "pilro.txt";
    if (!copy_file(built_module(), module_file)) {
        load_error_ = "cannot copy " + built_module() + " to " + module_file;
        return;
    }
    auto module = std::make_unique<loaded_module>(module_file);
    if (!module->ok()) {
        load_error_ = module->error();
        return;
    }
    loaded_ = std::move(module);
    set_up_relay();
}

void workbench::set_up_relay() {
    // The real module called directly is a copy of its own, with a log of its own: were the
    // two sides to share one log, entries of 1 KiB would fill exactly one page of it in every
    // two rounds of one call each, and the same side would pay for each new page.
    const std::string directory = fresh_directory("timing-relay");
    const std::string direct = fresh_directory("timing-relay-direct");
    const std::string relay_file = directory + separator + "foo.module";
    const std::string real_file = directory + separator + "foo.orig.module";
    const std::string direct_file = direct + separator + "foo.module";
    relay_logs_[0] = directory + separator + "foo.pilro.txt";
    relay_logs_[1] = directory + separator + "pilro.txt";
    relay_logs_[2] = direct + separator + "pilro.txt";
    if (!copy_file(built_relay(), relay_file) || !copy_file(built_module(), real_file) ||
        !copy_file(built_module(), direct_file)) {
        relay_error_ = "cannot copy the module files to " + directory;
        return;
    }
    relay_ = std::make_unique<loaded_module>(relay_file);
    real_ = std::make_unique<loaded_module>(direct_file);
    if (!relay_->ok() || !real_->ok()) {
        relay_error_ = relay_->ok() ? real_->error() : relay_->error();
        return;
    }
    load_with(relay_->exports(), "C:\\host\\saori\\");
    // The gate: the real module's reply, and after the request the relay's reply entry.
    const std::string text = execute_request();
    std::string reply;
    round_trip(relay_->exports(), text, &reply);
    const std::string log = read_file(relay_logs_[0]);
    const std::size_t request_at = log.rfind(text);
    if (reply != std::string(reply_no_content) + '\0' || request_at == std::string::npos ||
        log.compare(request_at + text.size(), 6, "reply(") != 0) {
        relay_error_ = "the relay did not relay: reply \"" + reply + "\", its log:\n" + log;
        return;
    }
    relay_reply_entry_ = log.substr(request_at + text.size());
}

void workbench::direct_and_two_bare(std::string_view text) const {
    direct_round_trip(text);
    bare_append_cycle(bare_file_.c_str(), text.data(), text.size());
    bare_append_cycle(bare_file_.c_str(), relay_reply_entry_.data(), relay_reply_entry_.size());
}

workbench::~workbench() {
    relay_.reset();
    real_.reset();
    loaded_.reset();
    restore_log_path();
    // The attach measurements leave a log beside this program; it is no result.
    if (!attach_log_.empty()) {
        remove_file(attach_log_);
    }
}

const entry_points* workbench::loaded() const {
    return loaded_ ? &loaded_->exports() : nullptr;
}

void* workbench::loaded_library() const {
    return loaded_ ? loaded_->library() : nullptr;
}

void workbench::bare(std::string_view text) const {
    bare_append_cycle(bare_file_.c_str(), text.data(), text.size());
}

void workbench::attach() const {
    lead_byte_sink = build_lead_byte_table();
    on_process_attach(nullptr);
}

void workbench::restore_log_path() const {
    if (linked_log_ != log_path) {
        attach_log_ = log_path;
        set_log_file(linked_log_);
    }
}

void workbench::bare_attach_entry() const {
    bare_append_cycle(attach_bare_file_.c_str(), attach_entry.data(), attach_entry.size());
}

void workbench::keep_files_small() const {
    const std::string* const files[] = {&linked_log_,       &loaded_log_, &bare_file_,
                                        &attach_bare_file_, &attach_log_, &relay_logs_[0],
                                        &relay_logs_[1]};
    for (const std::string* file : files) {
        if (file_size(*file) > file_limit) {
            empty_file(*file);
        }
    }
}

}  // namespace pilro::bench
