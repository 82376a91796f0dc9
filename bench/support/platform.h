// What the benchmarks need from the operating system beyond the module's own contract.
// platform_posix.cpp and platform_windows.cpp implement it; CMake picks one.
#ifndef PILRO_BENCH_PLATFORM_H
#define PILRO_BENCH_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace pilro::bench {

// The separator for the paths the benchmarks build.
extern const char separator;

// The append cycle the module owes each log entry, made with the plain file calls and
// nothing else: open for writing (creating the file if absent, never truncating), move to
// the end, write the n bytes, close. This is the yardstick the module's costs are held to.
void bare_append_cycle(const char* path, const char* bytes, std::size_t n) noexcept;

// Builds the table of the system code page's lead bytes the way the module does when it
// starts, and returns how many lead bytes it found. Returns 0 at once where the platform has
// no such code page (the module then builds no table either).
unsigned build_lead_byte_table() noexcept;
// Whether build_lead_byte_table() does any work here.
bool has_lead_byte_table() noexcept;
// The system code page the table was built for, 0 where there is none.
unsigned ansi_code_page() noexcept;

// Full path of the module file built next to the benchmarks.
std::string built_module();
// An empty directory of that name in the benchmarks' scratch area (emptied if it exists).
std::string fresh_directory(const std::string& name);
bool copy_file(const std::string& from, const std::string& to);
// The whole file, or an empty string if it cannot be read.
std::string read_file(const std::string& path);
// The file's size, or -1 if it does not exist.
std::int64_t file_size(const std::string& path);
// Cuts the file to 0 bytes if it exists.
void empty_file(const std::string& path);
void remove_file(const std::string& path);
void remove_tree(const std::string& path);

// The first occurrence of needle in the n bytes at haystack, or null: the platform's plain
// substring scan (memmem where the C library has it). Its name, for reports, comes from
// byte_search_name.
const char* find_bytes(const char* haystack, std::size_t n, const char* needle,
                       std::size_t needle_size) noexcept;
extern const char* const byte_search_name;

// Operating system and processor, in a line.
std::string machine_description();

}  // namespace pilro::bench

#endif
