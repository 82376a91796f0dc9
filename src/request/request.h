// SAORI/1.0 request dispatch: from a request text to the status reply.
#ifndef PILRO_REQUEST_H
#define PILRO_REQUEST_H

#include <string>
#include <string_view>

namespace pilro {

// The reply to a request text. The text ends at its first NUL byte; the string_view form
// takes a text that has already been cut there.
std::string build_reply(const char* request_text);
std::string build_reply(std::string_view request_text);

}  // namespace pilro

#endif
