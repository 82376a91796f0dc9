// Files as the tests and the benchmarks handle them: scratch directories, copies of the
// built module file, logs read back. Byte paths throughout: on Windows they go through the
// ANSI API, so they are in the system code page, exactly as the module sees its own path.
// files.cpp holds what is the same everywhere; files_unix.cpp and files_windows.cpp the rest
// (CMake picks one).
#ifndef PILRO_FILES_H
#define PILRO_FILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace pilro::files {

// The separator for the paths the tests and benchmarks build.
extern const char separator;

// Full path of the freshly built module file, as the build names it (under Wine a "Z:" path
// with forward slashes, which the file API takes as well).
std::string built_module();
// The same for the relay's module file, and the stub's.
std::string built_relay();
std::string built_stub();
// The same for the tests' echo module (tests/host_modules/echo_module.cpp).
std::string built_echo_module();
// Copies the module file real into directory as foo.dll and writes the stand-in (the relay's or
// the stub's module file) beside it as foo.pilro.dll with foo.dll's exports, as pilro-place
// writes it. Returns the stand-in's path, or empty with why set.
std::string place_with_exports(const std::string& directory, const std::string& stand_in,
                               const std::string& real, std::string& why);
// The path with every '/' turned into the platform's separator. Windows' file API takes
// either, but its loader is documented for backslashes only.
std::string native_path(std::string path);

// An empty directory called name inside root, both made if absent; whatever was in it
// before is removed. Returns its path: root, the separator, name.
std::string fresh_directory(const std::string& root, const std::string& name);
bool make_directory(const std::string& path);
// Removes the file, or the directory with all it holds (read-only entries included).
void remove_tree(const std::string& path);
// Removes the directory only if it is empty; whether it is gone.
bool remove_empty_directory(const std::string& path);

// Whether the whole file arrived at `to` (replacing what was there).
bool copy_file(const std::string& from, const std::string& to);
// The whole file, or an empty string if it cannot be read. Reads even while another
// program has the file open for writing, as the module may.
std::string read_file(const std::string& path);
// Replaces the file's contents with bytes; whether all of them were written.
bool write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
// The names in the directory, "." and ".." left out, sorted; empty if it cannot be read.
std::vector<std::string> directory_entries(const std::string& path);
// Makes path the process's current directory; whether it could.
bool change_directory(const std::string& path);
std::string current_directory();
// The file's size, or -1 if it does not exist.
std::int64_t file_size(const std::string& path);
// Cuts the file to 0 bytes if it exists.
void empty_file(const std::string& path);
// Makes the file size bytes long, made if absent, cut or extended with zeros (without writing
// them where the file system can); whether it could.
bool resize_file(const std::string& path, std::int64_t size);
void remove_file(const std::string& path);

// The system ANSI code page; 0 where the platform has none.
unsigned ansi_code_page() noexcept;

}  // namespace pilro::files

#endif
