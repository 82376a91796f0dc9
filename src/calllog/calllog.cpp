#include "calllog.h"

#include <cstring>

#include "../prim/prim.h"

namespace pilro {

char log_path[log_path_capacity];

std::string log_path_beside(std::string_view module_path, lead_byte_test is_lead,
                            bool backslash_separates, std::string_view file_name) {
    std::size_t start = 0;
    if (module_path.size() >= 2 && module_path[1] == ':') {
        start = 2;
    }
    const std::size_t end = directory_end(module_path, start, is_lead, backslash_separates);
    if (end - start > max_directory) {
        // Cutting the directory down to size would drop its final separator and turn the
        // last directory's name into a prefix of the file name: the log would land one level
        // up under another name. Nowhere is better than somewhere else.
        return std::string();
    }
    std::string path;
    path.reserve(end + file_name.size());
    path.append(module_path.substr(0, end));
    path.append(file_name);
    return path;
}

file_name_parts split_file_name(std::string_view path, lead_byte_test is_lead,
                                bool backslash_separates) {
    const std::size_t start = path.size() >= 2 && path[1] == ':' ? 2 : 0;
    file_name_parts parts{directory_end(path, start, is_lead, backslash_separates), path.size(),
                          path.size()};
    for (std::size_t i = parts.name; i < path.size(); ++i) {
        if (is_lead(static_cast<unsigned char>(path[i]))) {
            ++i;
        } else if (path[i] == '.' && i > parts.name) {
            parts.dot_before = parts.last_dot;
            parts.last_dot = i;
        }
    }
    return parts;
}

void set_log_path(const char* module_path) {
    set_log_file(log_path_beside(module_path, prim::is_lead_byte, prim::backslash_separates));
}

bool set_log_file(std::string_view path) noexcept {
    const bool fits = path.size() < log_path_capacity;
    const std::size_t n = fits ? path.size() : 0;
    if (n > 0) {
        std::memcpy(log_path, path.data(), n);
    }
    log_path[n] = '\0';
    return fits;
}

void write_log_bytes(const char* bytes, std::size_t n) {
    if (log_path[0] == '\0') {
        // Before attach there is no place for the log; opening the empty path would only
        // fail, or on some platforms hit the current directory.
        return;
    }
    prim::append_to_file(log_path, bytes, n);
}

bool write_log_bytes_at(const char* bytes, std::size_t n, std::uint64_t& end) {
    return log_path[0] != '\0' && prim::append_to_file(log_path, bytes, n, &end);
}

void write_log(const char* text) {
    write_log_bytes(text, std::strlen(text));
}

void write_log(const std::string& text) {
    write_log_bytes(text.data(), std::strlen(text.c_str()));
}

}  // namespace pilro
