#include "request.h"

#include <cstring>

namespace pilro {
namespace {

constexpr std::string_view separator = " SAORI/";
constexpr std::string_view bad_request = "SAORI/1.0 400 Bad Request\r\n\r\n";

std::string status_reply(std::string_view protocol, std::string_view status) {
    std::string reply;
    reply.reserve(protocol.size() + status.size());
    reply.append(protocol).append(status);
    return reply;
}

}  // namespace

std::string build_reply(std::string_view text) {
    const std::size_t at = text.find(separator);
    if (at == std::string_view::npos) {
        // No method and no protocol token: answered like every other request the module does
        // not recognise.
        return std::string(bad_request);
    }
    const std::string_view method = text.substr(0, at);
    std::string_view protocol = text.substr(at + 1);
    protocol = protocol.substr(0, protocol.find("\r\n"));
    if (method == "GET Version") {
        return status_reply(protocol, " 200 OK\r\n\r\n");
    }
    if (method == "EXECUTE") {
        return status_reply(protocol, " 204 No Content\r\n\r\n");
    }
    return std::string(bad_request);
}

std::string build_reply(const char* text) {
    return build_reply(std::string_view(text));
}

}  // namespace pilro
