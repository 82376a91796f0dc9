#include "capture_file.h"

#include <cstdint>
#include <system_error>

#include "platform/platform.h"

namespace pilro::capture {

bool read_file(const std::string& path, std::string_view kind, std::string& bytes,
               std::string& error) {
    bytes.clear();
    std::uint64_t size = 0;
    platform::file_identity identity;
    const int code = platform::read_file_from(path, 0, bytes, size, identity);
    if (code != 0) {
        error = "cannot open " + (kind.empty() ? "" : std::string(kind) + " ") + path + ": " +
                std::generic_category().message(code);
        return false;
    }
    return true;
}

}  // namespace pilro::capture
