// Captured logs and request files read from disk, for the tools: through the tools' platform
// layer, which shares the file with a module that is writing it and with its deletion.
#ifndef PILRO_TOOLS_CAPTURE_FILE_H
#define PILRO_TOOLS_CAPTURE_FILE_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "capture/capture_log.h"

namespace pilro::capture {

// Reads the whole file at path into bytes; returns false with a sentence that names the file
// and the reason in error ("cannot open KIND PATH: REASON", KIND and its blank left out when
// empty; REASON the C library's text for platform::read_file_from's result, so the same on
// every platform). saori-host reads its request files through this too.
bool read_file(const std::string& path, std::string_view kind, std::string& bytes,
               std::string& error);
inline bool read_log(const std::string& path, std::string& bytes, std::string& error) {
    return read_file(path, {}, bytes, error);
}

// Reads the log at path part by part, so that memory stays flat however large it is, and hands
// each of its entries to each, in order, as entry_at finds them in the whole log: e.offset is
// its place in part, whose first byte is at base in the file. False with a sentence in error
// as read_file gives it, or when the file is replaced or cut shorter while it is read; size
// is then what was read. A log still being written is read up to where it ends at the last
// read.
using entry_handler =
    std::function<void(const entry& e, std::string_view part, std::uint64_t base)>;
bool read_log_entries(const std::string& path, const entry_handler& each, std::uint64_t& size,
                      std::string& error);

}  // namespace pilro::capture

#endif
