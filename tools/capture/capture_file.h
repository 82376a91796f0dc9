// Captured logs and request files read from disk, for the tools: through the tools' platform
// layer, which shares the file with a module that is writing it and with its deletion.
#ifndef PILRO_TOOLS_CAPTURE_FILE_H
#define PILRO_TOOLS_CAPTURE_FILE_H

#include <string>
#include <string_view>

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

}  // namespace pilro::capture

#endif
