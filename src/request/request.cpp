#include "request.h"

#include <cstring>

namespace pilro {
namespace {

constexpr std::string_view separator = " SAORI/";

// The first " SAORI/" in text, or npos. Request texts are full of blanks, so a scan that
// stops at each blank would crawl through argument lines; the separator's slash is rare, and
// each one is checked in constant time, so the text is passed over once.
std::size_t find_separator(std::string_view text) noexcept {
    if (text.size() < separator.size()) {
        return std::string_view::npos;
    }
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* from = begin + (separator.size() - 1);
    while (from < end) {
        const auto* slash =
            static_cast<const char*>(std::memchr(from, '/', static_cast<std::size_t>(end - from)));
        if (slash == nullptr) {
            break;
        }
        const char* start = slash + 1 - separator.size();
        if (std::memcmp(start, separator.data(), separator.size()) == 0) {
            return static_cast<std::size_t>(start - begin);
        }
        from = slash + 1;
    }
    return std::string_view::npos;
}

}  // namespace

reply_pieces reply_for(std::string_view text) noexcept {
    constexpr reply_pieces bad_request{{}, "SAORI/1.0 400 Bad Request\r\n\r\n"};
    const std::size_t at = find_separator(text);
    if (at == std::string_view::npos) {
        // No method and no protocol token: answered like every other request the module does
        // not recognise.
        return bad_request;
    }
    const std::string_view method = text.substr(0, at);
    std::string_view protocol = text.substr(at + 1);
    protocol = protocol.substr(0, protocol.find("\r\n"));
    if (method == "GET Version") {
        return {protocol, " 200 OK\r\n\r\n"};
    }
    if (method == "EXECUTE") {
        return {protocol, " 204 No Content\r\n\r\n"};
    }
    return bad_request;
}

std::string build_reply(std::string_view text) {
    const reply_pieces reply = reply_for(text);
    std::string joined;
    joined.reserve(reply.protocol.size() + reply.status.size());
    joined.append(reply.protocol).append(reply.status);
    return joined;
}

std::string build_reply(const char* text) {
    return build_reply(std::string_view(text));
}

}  // namespace pilro
