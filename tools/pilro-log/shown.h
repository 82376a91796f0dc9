// What every way of showing a log in pilro-log shares: the charsets texts are read in, entry
// labels, and what standard error says of a damaged entry.
#ifndef PILRO_LOG_SHOWN_H
#define PILRO_LOG_SHOWN_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "capture/capture_log.h"
#include "platform/charset.h"

namespace pilro::log {

// One reader per charset, made when first needed: some need the platform's tables.
class readers {
  public:
    charset::reader& for_request(std::string_view request) {
        return of(charset::find_charset(capture::request_charset(request)));
    }
    charset::reader& named(std::string_view name) { return of(charset::find_charset(name)); }
    charset::reader& ascii() { return of(nullptr); }
    // Notes are UTF-8; those of earlier versions, which gave file names and the system's
    // messages in the system's code page, are shown as they always were.
    charset::reader& for_note(std::string_view note) {
        return charset::is_utf8(note) ? named("UTF-8") : ascii();
    }
    charset::reader& of(const charset::charset* which) {
        std::unique_ptr<charset::reader>& slot = made_[which];
        if (!slot) {
            slot = std::make_unique<charset::reader>(which);
        }
        return *slot;
    }

  private:
    std::map<const charset::charset*, std::unique_ptr<charset::reader>> made_;
};

// "R.N": entry N of run R, both from 1.
inline std::string label(std::size_t run, std::size_t n) {
    return std::to_string(run) + "." + std::to_string(n);
}

// What standard error says of a damaged entry: where it is and why. e lies in log, which
// starts at byte base of the file.
inline std::string damage_report(const std::string& path, std::string_view log,
                                 const capture::entry& e, std::uint64_t base, std::size_t run,
                                 std::size_t n) {
    return path + ": entry " + label(run, n) + ", at byte " + std::to_string(base + e.offset) +
           ", is a damaged reply entry (" + capture::damage(log, e) + "); read on after it";
}

}  // namespace pilro::log

#endif
