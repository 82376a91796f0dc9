// The benchmarks' side of the exported functions: what a host does around each call.
#ifndef PILRO_BENCH_HOST_H
#define PILRO_BENCH_HOST_H

#include <string>
#include <string_view>

#include "module/exports.h"

namespace pilro::bench {

// The three exports, either linked into this program or looked up in a loaded module file.
struct entry_points {
    load_function load = nullptr;
    request_function request = nullptr;
    unload_function unload = nullptr;
};

// The exports compiled into this program. Without a loader there is no attach here: the
// caller places the log with pilro::set_log_file.
entry_points linked_module();

// A module file loaded through the platform's loader, released again on destruction.
class loaded_module {
  public:
    // Loads the module at path; on failure ok() is false and error() says why.
    explicit loaded_module(const std::string& path);
    ~loaded_module();
    loaded_module(const loaded_module&) = delete;
    loaded_module& operator=(const loaded_module&) = delete;

    bool ok() const { return library_ != nullptr && exports_.request != nullptr; }
    const std::string& error() const { return error_; }
    const entry_points& exports() const { return exports_; }
    void* library() const { return library_; }

  private:
    void* library_ = nullptr;
    entry_points exports_;
    std::string error_;
};

// One exchange as a host makes it: the text goes into a new block, the module takes the
// block and returns its reply block, and the host frees that. Returns the reply length the
// module reported; the reply text goes into reply when it is given.
long round_trip(const entry_points& module, std::string_view text, std::string* reply = nullptr);

// The host's share of a round trip alone: a block made, filled with text and freed.
void host_block(std::string_view text);

// load() with data as the load data, in a block the module takes.
void load_with(const entry_points& module, std::string_view data);

}  // namespace pilro::bench

#endif
