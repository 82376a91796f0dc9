// Request dispatch on arbitrary bytes. Every reply is checked twice: against a plain
// byte-by-byte model of the dispatch rules, and against the shapes a host may rely on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "request/request.h"
#include "require.h"

namespace {

constexpr std::string_view bad_request = "SAORI/1.0 400 Bad Request\r\n\r\n";
constexpr std::string_view ok_status = " 200 OK";
constexpr std::string_view no_content_status = " 204 No Content";

using pilro::fuzz::fail;
using pilro::fuzz::require;

bool matches_at(std::string_view text, std::size_t at, std::string_view word) {
    if (at > text.size() || text.size() - at < word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (text[at + i] != word[i]) {
            return false;
        }
    }
    return true;
}

// The dispatch rules, written without the search helpers the module uses.
std::string model_reply(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && !matches_at(text, at, " SAORI/")) {
        ++at;
    }
    if (at == text.size()) {
        return std::string(bad_request);
    }
    std::size_t end = at + 1;
    while (end < text.size() && !matches_at(text, end, "\r\n")) {
        ++end;
    }
    const std::string token(text.substr(at + 1, end - (at + 1)));
    const std::string_view method = text.substr(0, at);
    if (method == "GET Version") {
        return token + " 200 OK\r\n\r\n";
    }
    if (method == "EXECUTE") {
        return token + " 204 No Content\r\n\r\n";
    }
    return std::string(bad_request);
}

// What a host may rely on without knowing the rules: one status line, then an empty line;
// a success status echoes the token that follows the method in the request.
void check_shape(std::string_view text, std::string_view reply) {
    if (reply == bad_request) {
        return;
    }
    require(reply.size() > 4 && reply.substr(reply.size() - 4) == "\r\n\r\n",
            "reply does not end with an empty line");
    const std::string_view status_line = reply.substr(0, reply.size() - 4);
    require(status_line.find("\r\n") == std::string_view::npos, "CR LF inside the status line");
    require(status_line.find('\0') == std::string_view::npos, "NUL inside the status line");
    require(matches_at(status_line, 0, "SAORI/"), "status line does not start with SAORI/");

    std::string_view method;
    std::string_view token;
    if (status_line.size() >= ok_status.size() &&
        status_line.substr(status_line.size() - ok_status.size()) == ok_status &&
        matches_at(text, 0, "GET Version SAORI/")) {
        method = "GET Version ";
        token = status_line.substr(0, status_line.size() - ok_status.size());
    } else if (status_line.size() >= no_content_status.size() &&
               status_line.substr(status_line.size() - no_content_status.size()) ==
                   no_content_status &&
               matches_at(text, 0, "EXECUTE SAORI/")) {
        method = "EXECUTE ";
        token = status_line.substr(0, status_line.size() - no_content_status.size());
    } else {
        fail("reply is none of 200, 204 and the fixed 400");
    }
    require(matches_at(text, method.size(), token), "token is not the request's own");
    const std::size_t after = method.size() + token.size();
    require(after == text.size() || matches_at(text, after, "\r\n"),
            "token does not run up to the first CR LF or the end");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    // The string_view form takes the text already cut at its first NUL.
    const void* nul = size == 0 ? nullptr : std::memchr(bytes, '\0', size);
    const std::size_t text_size =
        nul == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(nul) - bytes);
    const std::string_view text(bytes, text_size);

    const std::string reply = pilro::build_reply(text);
    require(reply == model_reply(text), "reply differs from the dispatch rules");
    check_shape(text, reply);

    // The C-string form sees everything the host sent, NUL and all, and must stop at the NUL.
    const std::string terminated(bytes, size);
    require(pilro::build_reply(terminated.c_str()) == reply,
            "the two forms disagree on the same text");
    return 0;
}
