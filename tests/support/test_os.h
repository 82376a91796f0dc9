// What the tests need from the operating system, beyond the module's own contract: the file
// helpers they share with the benchmarks (files.h), their scratch area, and child processes.
#ifndef PILRO_TEST_OS_H
#define PILRO_TEST_OS_H

#include <functional>
#include <string>
#include <vector>

#include "files.h"

namespace pilro::test {

using files::ansi_code_page;
using files::built_module;
using files::built_relay;
using files::built_stub;
using files::change_directory;
using files::copy_file;
using files::current_directory;
using files::directory_entries;
using files::file_exists;
using files::make_directory;
using files::read_file;
using files::remove_tree;
using files::separator;
using files::write_file;

// An empty directory of the given name inside the test program's own scratch area (emptied
// if it exists). The area is named after the program, or after PILRO_SCRATCH_NAME where a run
// of the same program needs one of its own (as its Shift_JIS runs do). Test cases that run at
// the same time give their directories names of their own.
std::string fresh_directory(const std::string& name);
// Ends a test case's use of the directories fresh_directory has made since the last call:
// removes them, with the program's scratch area once it is empty, and returns those that
// could not be removed (on Windows, a file still open or a module still loaded); or, when
// keep is true, leaves them for a look and returns their paths.
std::vector<std::string> finish_scratch(bool keep);

// A block as a host passes it: exactly the given bytes, no NUL after them.
void* host_block(const std::string& bytes);

// Full paths of the freshly built saori-host, pilro-log and pilro-place programs.
std::string saori_host();
std::string pilro_log();
std::string pilro_place();
// Full path of the freshly built stress_child program: a host that loads the module file and
// keeps it busy (see stress_child.cpp).
std::string stress_child();

// What a finished child process left behind.
struct process_result {
    // The exit status; 128 + the signal's number when a signal ended it; -1 when it could not
    // be started (err then says why).
    int exit_code = -1;
    std::string out;
    std::string err;
    // It did not end within the time given, and was killed.
    bool timed_out = false;
    // Its watch had it stopped, and it was killed.
    bool stopped = false;
};

// Sees a running child's standard output and error so far, each time more of either comes,
// and returns whether to stop the child now. Called from another thread than the caller's.
using output_watch = std::function<bool(const std::string& out, const std::string& err)>;

// Runs the program at argv[0] with the arguments argv[1..], each passed as it is (no shell),
// writes stdin_bytes to its standard input and closes it, and waits for it to end: for ever,
// or for timeout_ms milliseconds if that is positive, after which it is killed; or until the
// watch, if given, has it stopped. Standard output and error are collected while it runs, so
// a chatty child cannot block.
process_result run_process(const std::vector<std::string>& argv,
                           const std::string& stdin_bytes = std::string(), int timeout_ms = 0,
                           const output_watch& watch = nullptr);

// A thread that can be stopped for good wherever it is, as the system stops a host's other
// threads when the process ends, or as a debugger suspends one: suspended on Windows, held in
// a signal handler on POSIX. It is never joined; the end of the process takes it down.
using thread_body = void (*)(void* argument);
// Null when no thread could be started.
void* start_thread(thread_body body, void* argument);
// Stops the thread for good; the handle is spent.
void freeze_thread(void* thread);

// The same with the arguments after argv[0] given as UTF-8 text, which the child is to read
// as those characters: on Windows they go through the wide command line, on POSIX the child
// runs in a UTF-8 locale (LC_ALL=C.UTF-8).
process_result run_process_text(const std::vector<std::string>& argv,
                                const std::string& stdin_bytes = std::string());

}  // namespace pilro::test

#endif
