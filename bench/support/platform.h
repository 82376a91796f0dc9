// What the benchmarks need from the operating system beyond the module's own contract: the
// file helpers they share with the tests (files.h), their scratch area, the yardstick and
// what the module's start-up does per platform. platform_posix.cpp and platform_windows.cpp
// implement the platform's part; CMake picks one.
#ifndef PILRO_BENCH_PLATFORM_H
#define PILRO_BENCH_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "files.h"

namespace pilro::bench {

using files::ansi_code_page;
using files::built_echo_module;
using files::built_module;
using files::built_relay;
using files::built_stub;
using files::copy_file;
using files::empty_file;
using files::file_size;
using files::read_file;
using files::remove_file;
using files::separator;
using files::write_file;

// An empty directory of that name in the benchmarks' scratch area (emptied if it exists),
// spelt as the platform's loader wants it.
std::string fresh_directory(const std::string& name);

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

// The first occurrence of needle in the n bytes at haystack, or null: the platform's plain
// substring scan (memmem where the C library has it). Its name, for reports, comes from
// byte_search_name.
const char* find_bytes(const char* haystack, std::size_t n, const char* needle,
                       std::size_t needle_size) noexcept;
extern const char* const byte_search_name;

// Page faults this process has taken so far (minor ones included: a fresh page of memory
// is one), or -1 where the platform does not count them for the process.
std::int64_t page_faults() noexcept;

// The processor time this process has taken so far, user and system, in seconds; -1 where
// the platform does not tell.
double processor_seconds() noexcept;

// Operating system and processor, in a line.
std::string machine_description();

}  // namespace pilro::bench

#endif
