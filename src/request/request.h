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

// The same reply in its two pieces, the echoed protocol token (empty for the 400 reply) and
// the status after it, both viewing the request text or static storage: a caller can size
// and fill the reply's final home without a string in between.
struct reply_pieces {
    std::string_view protocol;
    std::string_view status;
};
reply_pieces reply_for(std::string_view request_text) noexcept;

}  // namespace pilro

#endif
