// The call log: "pilro.txt" beside the module file, to which every attach, call and detach
// appends one entry.
#ifndef PILRO_CALLLOG_H
#define PILRO_CALLLOG_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pilro {

// The log's file name; it does not follow the module file's name.
inline constexpr std::string_view log_file_name = "pilro.txt";

// Longest directory part (after the drive) of a module path that the log can be placed in.
inline constexpr std::size_t max_directory = 255;

// The longest module path the platform reports: MAX_PATH, NUL included.
inline constexpr std::size_t module_path_capacity = 260;

// What the relay's log file name adds to the name of its module file, less the extension:
// "foo.dll" logs to "foo.pilro.txt".
inline constexpr std::string_view relay_log_suffix = ".pilro.txt";

// Room for the longest log path: pilro's, a drive of two bytes, the directory and the file
// name; or the relay's, its own path with the suffix in place of its extension (the same
// directory rule keeps it no longer); and a NUL.
inline constexpr std::size_t log_path_capacity =
    std::max(2 + max_directory + log_file_name.size(),
             module_path_capacity - 1 + relay_log_suffix.size()) +
    1;

// Full path of the log file, NUL-terminated. Empty until the module is attached; while it is
// empty nothing is written.
//
// A plain array, so that it is never destroyed: a process can end while other threads are
// inside the module (POSIX runs static destructors while they still run), and every entry
// they write must still read this path, not memory that has been freed and reused.
extern char log_path[log_path_capacity];

using lead_byte_test = bool (*)(unsigned char);

// Where the directory part of path ends: one past its last separator at or after start, or
// start if there is none. '/' always separates, '\\' where backslash_separates says so; the
// trail byte of a double-byte character (is_lead says which bytes begin one) never does,
// whatever its value.
inline std::size_t directory_end(std::string_view path, std::size_t start, lead_byte_test is_lead,
                                 bool backslash_separates) {
    std::size_t end = start;
    for (std::size_t i = start; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (is_lead(c)) {
            ++i;
        } else if (c == '/' || (c == '\\' && backslash_separates)) {
            end = i + 1;
        }
    }
    return end;
}

// Where the file name at the end of path starts, after its drive and directory, and where its
// last two dots are (path.size() for a dot it lacks). Found by characters, as directory_end
// finds the directory: a trail byte is never a dot, and neither is a dot that starts the name
// (".c.dll" has the one extension ".dll").
struct file_name_parts {
    std::size_t name;
    std::size_t last_dot;
    std::size_t dot_before;
};
file_name_parts split_file_name(std::string_view path, lead_byte_test is_lead,
                                bool backslash_separates);

// The log path for a module file at module_path: its drive and directory, then file_name;
// empty when the directory is longer than max_directory. is_lead says which bytes start a
// double-byte character, whose trail byte never counts as a separator. '/' always separates, '\\'
// where backslash_separates says so.
std::string log_path_beside(std::string_view module_path, lead_byte_test is_lead,
                            bool backslash_separates = true,
                            std::string_view file_name = log_file_name);

// Places the log beside the module file at module_path (NUL-terminated), using the system
// code page's lead bytes.
void set_log_path(const char* module_path);

// Points the log at the file path itself, or nowhere for the empty path, as for a path that
// does not fit (false then). For the programs that drive the exports linked in (tests,
// benchmarks, fuzzers); the module places its log with set_log_path alone. Precondition: no
// entry is being written.
bool set_log_file(std::string_view path) noexcept;

// Appends one entry: the text up to its first NUL byte. Never fails towards the caller.
void write_log(const char* text);
void write_log(const std::string& text);
// Appends exactly n bytes; the caller has made sure they hold no NUL.
void write_log_bytes(const char* bytes, std::size_t n);
// The same, saying whether all n bytes reached the log, and if so where in the file they
// end (end), so that a later entry can name this one.
bool write_log_bytes_at(const char* bytes, std::size_t n, std::uint64_t& end);

}  // namespace pilro

#endif
