#include "counted.h"

#include "capture/capture_file.h"

namespace pilro::log {
namespace {

namespace capture = pilro::capture;

// The kind's name: the request line, then for a SHIORI request " ID: " and its ID, for a SAORI
// one " Argument0: " and its Argument0, read in the request's charset; a part that was cut
// has "..." after it.
std::string kind_name(readers& read, const capture::request_kind& kind,
                      std::string_view charset_name) {
    charset::reader& reader = read.named(charset_name);
    std::string name = reader.readable(kind.line) + (kind.line_cut ? "..." : "");
    if (!kind.header.empty()) {
        name += " " + std::string(kind.header) + ": " + reader.readable(kind.value) +
                (kind.value_cut ? "..." : "");
    }
    return name;
}

// Bytes as the page shows them: cut past the limit, read line by line, as a JSON string
// appended to out. Returns whether they were cut.
bool append_text(std::string& out, charset::reader& reader, std::string_view bytes) {
    const bool cut = bytes.size() > page_texts::limit;
    bytes = bytes.substr(0, page_texts::limit);
    std::string text;
    for (std::size_t at = 0;;) {
        const std::size_t end = bytes.find("\r\n", at);
        text += reader.readable(bytes.substr(at, end == std::string_view::npos ? end : end - at));
        if (end == std::string_view::npos) {
            break;
        }
        text += '\n';
        at = end + 2;
    }
    append_json_string(out, text);
    return cut;
}

// Keeps the text that append_text makes of bytes in texts, if it fits the budget.
bool keep(page_texts& texts, page_texts::text& where, charset::reader& reader,
          std::string_view bytes, bool& cut) {
    if (texts.full) {
        return false;
    }
    const std::size_t at = texts.arena.size();
    cut = append_text(texts.arena, reader, bytes);
    if (texts.arena.size() > texts.budget) {
        texts.arena.resize(at);
        texts.full = true;
        return false;
    }
    where = {static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(texts.arena.size() - at)};
    return true;
}

// The text of a mark: for a reply, whom it answers and its time, then its bytes.
void keep_mark(page_texts& texts, readers& read, const capture::entry& e, std::string_view part) {
    texts.marks.emplace_back();
    const std::string_view bytes = capture::entry_bytes(part, e);
    bool cut = false;
    switch (e.kind) {
        case capture::entry_kind::note: {
            const std::string_view note = capture::note_text(part, e);
            keep(texts, texts.marks.back(), read.for_note(note), note, cut);
            break;
        }
        case capture::entry_kind::cut_short:
            keep(texts, texts.marks.back(), read.for_request(bytes), bytes, cut);
            break;
        case capture::entry_kind::reply: {
            const capture::reply says = capture::read_reply(part, e);
            const std::string head =
                std::string(says.paired ? "to no request, " : "to an unlogged request, ") +
                std::to_string(says.microseconds) + " us" + (says.block ? "" : ", no block") +
                "\r\n";
            keep(texts, texts.marks.back(), read.for_request(says.bytes),
                 head + std::string(says.bytes), cut);
            break;
        }
        default:
            keep(texts, texts.marks.back(), read.ascii(), bytes, cut);
            break;
    }
}

// What the page keeps of an entry that starts or completes exchange x.
void keep_exchange(page_texts& texts, readers& read, const capture::entry& e, std::string_view part,
                   std::size_t x) {
    texts.slot.resize(x + 1, -1);
    const std::string_view bytes = capture::entry_bytes(part, e);
    if (e.kind == capture::entry_kind::request) {
        page_texts::kept kept{static_cast<std::uint32_t>(x),
                              {},
                              {},
                              false,
                              false,
                              charset::find_charset(capture::request_charset(bytes))};
        // The closing empty line goes without saying.
        const bool closed = bytes.size() >= 4 && bytes.substr(bytes.size() - 4) == "\r\n\r\n";
        if (keep(texts, kept.request, read.named(capture::request_charset(bytes)),
                 bytes.substr(0, bytes.size() - (closed ? 4 : 0)), kept.request_cut)) {
            texts.slot[x] = static_cast<std::int32_t>(texts.exchanges.size());
            texts.exchanges.push_back(kept);
        }
        return;
    }
    if (texts.slot[x] < 0) {
        return;
    }
    page_texts::kept& kept = texts.exchanges[static_cast<std::size_t>(texts.slot[x])];
    const capture::reply says = capture::read_reply(part, e);
    if (says.block) {
        charset::reader& reader = !capture::request_charset(says.bytes).empty()
                                      ? read.for_request(says.bytes)
                                      : read.of(kept.charset);
        keep(texts, kept.reply, reader, says.bytes, kept.reply_cut);
    }
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        // Nothing in it may end the script element that holds it or start markup, and the line
        // and paragraph separators end a line in older script engines.
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '<':
                out += "\\u003c";
                break;
            case '>':
                out += "\\u003e";
                break;
            case '&':
                out += "\\u0026";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    const char hex[] = "0123456789abcdef";
                    out += "\\u00";
                    out += hex[(c >> 4) & 0xF];
                    out += hex[c & 0xF];
                } else if (c == '\xE2' && text.compare(i + 1, 1, "\x80") == 0 &&
                           i + 2 < text.size() &&
                           (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
                    out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
                    i += 2;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

counted_log::counted_log()
    : census([this](const capture::request_kind& kind, std::string_view charset) {
          return kind_name(read, kind, charset);
      }) {}

bool count_log(const std::string& path, counted_log& log, page_texts* texts, std::string& error) {
    bool cut_end = false;
    std::uint64_t cut_size = 0;
    const bool read = capture::read_log_entries(
        path,
        [&](const capture::entry& e, std::string_view part, std::uint64_t base) {
            const std::size_t x = log.census.add(e, capture::entry_bytes(part, e), base + e.offset);
            const std::size_t run = log.census.runs();
            const std::size_t n = log.census.run_entries(run - 1);
            if (e.kind == capture::entry_kind::damaged) {
                log.reports.push_back(damage_report(path, part, e, base, run, n));
            }
            cut_end = e.kind == capture::entry_kind::cut_short;
            cut_size = e.size;
            if (texts == nullptr) {
                return;
            }
            if (x != static_cast<std::size_t>(-1)) {
                keep_exchange(*texts, log.read, e, part, x);
            } else if (log.census.marks().size() > texts->marks.size()) {
                keep_mark(*texts, log.read, e, part);
            }
        },
        log.size, error);
    if (!read) {
        return false;
    }
    log.census.finish();
    if (!log.census.holds_pilro_entries()) {
        error = path + " holds no pilro entries" + (log.size == 0 ? ": it is empty" : "");
        return false;
    }
    if (log.census.overlapping()) {
        log.reports.insert(log.reports.begin(), path + ": " + capture::shared_log_warning);
    }
    if (cut_end) {
        log.reports.push_back(path + " ends in the middle of an entry (its last " +
                              std::to_string(cut_size) + " bytes)");
    }
    return true;
}

}  // namespace pilro::log
