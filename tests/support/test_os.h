// What the tests need from the operating system, beyond the module's own contract. Byte
// paths throughout: on Windows they go through the ANSI API, so they are in the system code
// page, exactly as the module sees its own path.
#ifndef PILRO_TEST_OS_H
#define PILRO_TEST_OS_H

#include <string>
#include <vector>

namespace pilro::test {

// The path separator tests use to build paths.
extern const char separator;

// Full path of the freshly built module file.
std::string built_module();
// An empty directory of the given name inside the test scratch area (emptied if it exists).
std::string fresh_directory(const std::string& name);
bool make_directory(const std::string& path);
bool copy_file(const std::string& from, const std::string& to);
// The whole file, or an empty string if it cannot be read.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
bool write_file(const std::string& path, const std::string& bytes);
void remove_tree(const std::string& path);
// The system ANSI code page; 0 where the platform has none.
unsigned ansi_code_page();

}  // namespace pilro::test

#endif
