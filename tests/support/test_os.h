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

// Full path of the freshly built saori-host program.
std::string saori_host();

// What a finished child process left behind.
struct process_result {
    // The exit status; 128 + the signal's number when a signal ended it; -1 when it could not
    // be started (err then says why).
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs the program at argv[0] with the arguments argv[1..], each passed as it is (no shell),
// writes stdin_bytes to its standard input and closes it, and waits for it to end. Standard
// output and error are collected while it runs, so a chatty child cannot block.
process_result run_process(const std::vector<std::string>& argv,
                           const std::string& stdin_bytes = std::string());

}  // namespace pilro::test

#endif
