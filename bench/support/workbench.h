// The set-up every measurement shares: scratch files, the linked exports with their log
// placed in the scratch area, a loaded copy of the module file, and the yardstick cycle.
#ifndef PILRO_BENCH_WORKBENCH_H
#define PILRO_BENCH_WORKBENCH_H

#include <memory>
#include <string>
#include <string_view>

#include "host.h"

namespace pilro::bench {

// The sizes of the request-size sweep: 1 KiB to 16 MiB in steps of four.
inline constexpr std::size_t sweep_sizes[] = {1u << 10, 1u << 12, 1u << 14, 1u << 16,
                                              1u << 18, 1u << 20, 1u << 22, 1u << 24};
// Each sweep size is also measured this many bytes larger. A size that is a multiple of
// 4 KiB puts the module's private copy a few bytes past a 4 KiB multiple from the host's
// block, a distance some memcpy implementations copy across many times slower than any
// other; a request's size is rarely such a multiple.
inline constexpr std::size_t off_grid = 100;

class workbench {
  public:
    // Points the log of the linked exports at a scratch file and loads a scratch copy of the module
    // file; loaded() is null (and load_error() says why) when that fails.
    workbench();
    ~workbench();
    workbench(const workbench&) = delete;
    workbench& operator=(const workbench&) = delete;

    const entry_points& linked() const { return linked_; }
    const entry_points* loaded() const;
    // The loaded module file's handle from platform::library_open, or null.
    void* loaded_library() const;
    const std::string& load_error() const { return load_error_; }

    // A request round trip through the linked exports or the loaded module file.
    void linked_round_trip(std::string_view text) const { round_trip(linked_, text); }
    void loaded_round_trip(std::string_view text) const { round_trip(*loaded(), text); }
    // The bare append cycle of the same bytes, into a file of its own in the same directory.
    void bare(std::string_view text) const;

    // The relay, loaded in front of a copy of the module file as its real module (and
    // loaded), with another copy of the module file loaded directly; relay_error() says what
    // went wrong when relay_ready() is false. Its round trip, and the yardstick for it: the
    // same request sent straight to the module, and the bare cycles of the relay's two
    // entries (the request, and its reply entry with the real module's reply).
    bool relay_ready() const { return relay_ && real_ && relay_error_.empty(); }
    const std::string& relay_error() const { return relay_error_; }
    void relay_round_trip(std::string_view text) const { round_trip(relay_->exports(), text); }
    void direct_round_trip(std::string_view text) const { round_trip(real_->exports(), text); }
    void direct_and_two_bare(std::string_view text) const;

    // What the module does at attach, in this process: the lead-byte table its start-up
    // builds (where the platform has one), then the path query, placing the log and the
    // attach entry. The log then lies beside this program until restore_log_path().
    void attach() const;
    void restore_log_path() const;
    // The bare cycle of the attach entry's bytes.
    void bare_attach_entry() const;

    // Empties the log files once they have grown past a limit, so that long runs of large
    // requests do not fill the disk. Call between rounds, untimed.
    void keep_files_small() const;

  private:
    void set_up_relay();

    entry_points linked_;
    std::unique_ptr<loaded_module> loaded_;
    std::string load_error_;
    std::string linked_log_;
    std::string loaded_log_;
    std::string bare_file_;
    std::string attach_bare_file_;
    std::unique_ptr<loaded_module> relay_;
    std::unique_ptr<loaded_module> real_;
    std::string relay_error_;
    // The relay's log, the real module's beside it, and the directly called copy's.
    std::string relay_logs_[3];
    // The reply entry the relay wrote for a typical request: what the yardstick appends.
    std::string relay_reply_entry_;
    // Where attach() put the log: beside this program.
    mutable std::string attach_log_;
};

}  // namespace pilro::bench

#endif
