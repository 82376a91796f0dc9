// Request texts as a SAORI/1.0 host sends them, and the replies the module owes them.
#ifndef PILRO_BENCH_TEXTS_H
#define PILRO_BENCH_TEXTS_H

#include <cstddef>
#include <string>
#include <string_view>

namespace pilro::bench {

inline constexpr std::string_view reply_ok = "SAORI/1.0 200 OK\r\n\r\n";
inline constexpr std::string_view reply_no_content = "SAORI/1.0 204 No Content\r\n\r\n";
inline constexpr std::string_view reply_bad_request = "SAORI/1.0 400 Bad Request\r\n\r\n";

// The version query a host sends right after load.
std::string version_request();

// An EXECUTE request as a host typically sends one: request line, charset, sender, security
// level and two short arguments, one of them Shift_JIS text.
std::string execute_request();

// An EXECUTE request of exactly `size` bytes (at least the size of execute_request()): the
// same header lines, then as many argument lines of mixed ASCII and Shift_JIS text as it
// takes, ending in the empty line.
std::string execute_request(std::size_t size);

// A request with a method the module does not know, answered with 400.
std::string unknown_method_request();

// Request number k of echo_capture: a typical EXECUTE, about 230 bytes, numbered in its first
// argument.
std::string capture_request(std::size_t k);
// A log as the relay writes it in front of the echo module (which answers each request with
// the request itself): one run of the requests capture_request(0, 1, ...), each with its
// reply, until the log holds at least size bytes. count receives the number of requests.
std::string echo_capture(std::size_t size, std::size_t& count);

// `size` bytes of argument-like text (blanks, ASCII and Shift_JIS) in which " SAORI/" never
// occurs: the text the separator search has to cross in full.
std::string text_without_separator(std::size_t size);

}  // namespace pilro::bench

#endif
