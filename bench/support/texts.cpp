#include "texts.h"

#include <cstdio>

#include "capture/capture_log.h"

namespace pilro::bench {
namespace {

constexpr std::string_view headers =
    "Charset: Shift_JIS\r\n"
    "Sender: X\r\n"
    "SecurityLevel: local\r\n";

// Argument text as it turns up in practice: words and blanks, with Shift_JIS katakana
// ("\x83\x65\x83\x58\x83\x67") and a double-byte character whose trail byte is '\\'.
constexpr std::string_view filler =
    "on the desk \x83\x65\x83\x58\x83\x67 a note: \x95\x5C dated 2024-05-01, pages 3 to 7; ";

}  // namespace

std::string version_request() {
    return std::string("GET Version SAORI/1.0\r\n").append(headers).append("\r\n");
}

std::string execute_request() {
    return std::string("EXECUTE SAORI/1.0\r\n")
        .append(headers)
        .append("Argument0: pilro\r\n")
        .append("Argument1: \x83\x65\x83\x58\x83\x67\r\n")
        .append("\r\n");
}

std::string execute_request(std::size_t size) {
    std::string text = execute_request();
    if (size <= text.size()) {
        return text;
    }
    text.resize(text.size() - 2);  // reopen the header block; the empty line comes last
    text.reserve(size);
    const std::size_t body_end = size - 2;
    for (unsigned index = 2; text.size() < body_end; ++index) {
        char name[32];
        const int name_length = std::snprintf(name, sizeof name, "Argument%u: ", index);
        // A line is at least the name, one byte of value and CR LF; a shorter remainder goes
        // into the previous line's value.
        const std::size_t room = body_end - text.size();
        if (room < static_cast<std::size_t>(name_length) + 3) {
            text.insert(text.size() - 2, room, 'x');
            break;
        }
        text.append(name, static_cast<std::size_t>(name_length));
        std::size_t value = room - static_cast<std::size_t>(name_length) - 2;
        if (value > 4000) {
            value = 4000;
        }
        // A value never ends on the lead byte of a double-byte character.
        while (value > 0) {
            const std::size_t piece = value < filler.size() ? value : filler.size();
            std::string_view chunk = filler.substr(0, piece);
            const auto last = static_cast<unsigned char>(chunk.back());
            if (piece < filler.size() && (last == 0x83 || last == 0x95)) {
                chunk = filler.substr(0, piece - 1);
                text.append(chunk).append(" ");
            } else {
                text.append(chunk);
            }
            value -= piece;
        }
        text.append("\r\n");
    }
    text.append("\r\n");
    return text;
}

std::string unknown_method_request() {
    return std::string("NOTIFY SAORI/1.0\r\n")
        .append(headers)
        .append("Event: OnSecondChange\r\n")
        .append("\r\n");
}

std::string capture_request(std::size_t k) {
    return std::string("EXECUTE SAORI/1.0\r\n")
        .append(headers)
        .append("Argument0: " + std::to_string(k) + "\r\nArgument1: ")
        .append(filler)
        .append(filler.substr(0, 30))
        .append("\r\n\r\n");
}

std::string echo_capture(std::size_t size, std::size_t& count) {
    std::string log = "DllMain(Attach)\r\n\r\nload() C:\\host\\saori\\\r\n\r\n";
    log.reserve(size + 4096);
    for (count = 0; log.size() < size; ++count) {
        const std::string request = capture_request(count);
        log += request;
        capture::reply says{};
        says.paired = says.identified = says.has_length = says.block = true;
        says.request_end = log.size();
        says.request_size = request.size();
        says.request_crc = capture::crc32(request);
        says.microseconds = 1;
        says.length = static_cast<long long>(request.size());
        char line[capture::reply_line_capacity];
        log.append(line, capture::format_reply_line(line, says, request.size()));
        log.append(request).append("\r\n\r\n");
    }
    return log + "unload()\r\n\r\nDllMain(Detach)\r\n\r\n";
}

std::string text_without_separator(std::size_t size) {
    std::string text;
    text.reserve(size);
    while (text.size() < size) {
        const std::size_t piece = size - text.size();
        text.append(filler.substr(0, piece < filler.size() ? piece : filler.size()));
    }
    return text;
}

}  // namespace pilro::bench
