// What the two module files that stand in for a real module share: the relay, in front of it,
// and the stub, in its place with the replies it once gave. Both log pilro's own entries, a
// reply entry after each request they answer, and notes.
#ifndef PILRO_STAND_IN_H
#define PILRO_STAND_IN_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "../calllog/calllog.h"

namespace pilro {

// The loader's attach for a module file that names its log after its own file: stem (given the
// module file's full path and its parts) says what the log's name starts with ("foo" for
// "foo.pilro.txt"), and places beside it whatever else the module file needs. Without its own
// path the module file logs nowhere, and stem is not asked. Then writes the attach entry.
void attach_named(void* module,
                  std::string (*stem)(std::string_view own, const file_name_parts& parts));
// Whether a part of a module file's name, from its dot on, is ".pilro" (in any case, as
// Windows names files): whatever stands as foo.pilro.dll (or foo.pilro) stands in for foo.dll
// (or foo) beside it.
bool is_marker(std::string_view part) noexcept;
// The full path of the file called name beside the module file at own, NUL-terminated in out
// (cap bytes); empty when it does not fit, or the directory is too long (see log_path_beside).
void path_beside(std::string_view own, const std::string& name, char* out, std::size_t cap);

// Appends a note: prefix ("relay() ", "stub() "), the parts, and the closing empty line. Line
// breaks in the parts (a system message ends in one) become blanks: a note is one line, so it
// can never be taken for two entries. Lost, like any entry, when memory runs out. Notes are
// UTF-8 whatever the system's code page: parts that the system named (a path) go through
// utf8_text.
void note(std::string_view prefix, std::initializer_list<std::string_view> parts) noexcept;

// A NUL-terminated text as the system's file API names it (a path), in UTF-8 for a note; the
// bytes as they are where they cannot be converted. Lives as long as the note's parts.
class utf8_text {
  public:
    explicit utf8_text(const char* native) noexcept;
    utf8_text(const utf8_text&) = delete;
    utf8_text& operator=(const utf8_text&) = delete;
    operator std::string_view() const noexcept { return {text_, size_}; }

  private:
    // A path's every byte takes three at most in UTF-8; the module files' paths are their own
    // with a suffix of a few bytes.
    char converted_[3 * (module_path_capacity + 64)];
    const char* text_;
    std::size_t size_;
};

// A request's entry as the relay and the stub write it, before they answer: the text of the
// host's block up to its length, the block's end and its first NUL (the entry's size).
struct request_entry {
    std::size_t size;
    // Whether it was written (an empty request leaves no entry, and its end would be some
    // other entry's); then where it ends in the log, and its CRC-32.
    bool logged;
    std::uint64_t end;
    std::uint32_t crc;
};
request_entry log_request(const void* block, const long* length) noexcept;

// Appends the reply entry (see capture_log.h) for the reply block and length a host got, in one
// append: its first line, the reply's bytes up to the length, the block's end and its first
// NUL, and the closing empty line. The request's entry, when it was written, is told by where
// it ends in the log, its size and its CRC-32, so that the pair holds in a log that was cut or
// joined since. micros is the time the answer took.
void log_reply(const request_entry& request, std::uint64_t micros, const long* length,
               const void* reply) noexcept;

// Waits, for up to longest_us microseconds, while state holds value (another thread is loading);
// whether it stopped holding it in that time.
bool wait_while(const std::atomic<int>& state, int value, std::uint64_t longest_us) noexcept;

}  // namespace pilro

#endif
