// A log counted for --summary and --html: read part by part into a census, with what standard
// error is to say of it, and for the page the texts of its exchanges and marks.
#ifndef PILRO_LOG_COUNTED_H
#define PILRO_LOG_COUNTED_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/census.h"
#include "platform/charset.h"
#include "shown.h"

namespace pilro::log {

// The texts a page shows on a click, each read as pilro-log reads it, line by line (a CR LF
// becomes a line break), and kept as a JSON string. Each is cut past `limit` bytes of the log,
// and texts are kept, in the log's order, only while they fit the budget: the page stays small
// whatever the log's size.
struct page_texts {
    static constexpr std::size_t limit = 2048;
    std::size_t budget = 12000000;
    // The JSON strings, back to back.
    std::string arena;
    struct text {
        std::uint32_t at = 0;
        std::uint32_t size = 0;  // 0: not kept
    };
    struct kept {
        std::uint32_t exchange;
        text request;
        text reply;
        bool request_cut = false;
        bool reply_cut = false;
        const charset::charset* charset;
    };
    std::vector<kept> exchanges;
    // By exchange: its place in exchanges, or -1.
    std::vector<std::int32_t> slot;
    // By mark, in the census's order.
    std::vector<text> marks;
    // Whether a text was left out for want of room.
    bool full = false;
};

struct counted_log {
    counted_log();
    readers read;
    capture::census census;
    // What standard error is to say, in order.
    std::vector<std::string> reports;
    std::uint64_t size = 0;
};

// Appends text (UTF-8) to out as a JSON string that may stand inside a script element: with
// <, >, &, U+2028 and U+2029 escaped as well.
void append_json_string(std::string& out, std::string_view text);

// Reads the log at path into log, and its texts into texts where that is not null. False with
// a sentence in error when it cannot be read or holds no pilro entries, as for the plain view.
bool count_log(const std::string& path, counted_log& log, page_texts* texts, std::string& error);

}  // namespace pilro::log

#endif
