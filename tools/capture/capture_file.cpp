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

bool read_log_entries(const std::string& path, const entry_handler& each, std::uint64_t& size,
                      std::string& error) {
    // Large enough that an entry seldom waits for the next part.
    constexpr std::size_t part_size = std::size_t{1} << 20;
    std::string part;
    std::uint64_t base = 0;
    platform::file_identity first;
    size = 0;
    for (bool more = true; more;) {
        std::uint64_t file_size = 0;
        platform::file_identity identity;
        const std::size_t had = part.size();
        const int code =
            platform::read_file_from(path, base + had, part, file_size, identity, part_size);
        if (code != 0) {
            error = "cannot open " + path + ": " + std::generic_category().message(code);
            return false;
        }
        if (size > 0 && (identity != first || file_size < size)) {
            error = path + " was made anew or cut shorter while it was read";
            return false;
        }
        first = identity;
        size += part.size() - had;
        more = part.size() > had;
        std::size_t at = 0;
        while (at < part.size()) {
            // Once nothing more comes, what could have grown is whole.
            const entry e = entry_at(part, at, more, base);
            if (e.kind == entry_kind::cut_short && more) {
                break;
            }
            each(e, part, base);
            at += e.size;
        }
        part.erase(0, at);
        base += at;
    }
    return true;
}

}  // namespace pilro::capture
