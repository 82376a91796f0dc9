#include "workbench.h"

#include "calllog/calllog.h"
#include "module/lifecycle.h"
#include "platform.h"

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
}

workbench::~workbench() {
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
    const std::string* const files[] = {&linked_log_, &loaded_log_, &bare_file_, &attach_bare_file_,
                                        &attach_log_};
    for (const std::string* file : files) {
        if (file_size(*file) > file_limit) {
            empty_file(*file);
        }
    }
}

}  // namespace pilro::bench
