#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

extern const unsigned char pilro_report_page[];

namespace pilro::log {
namespace {

namespace capture = pilro::capture;

template <typename Number>
void append_number(std::string& out, Number n) {
    out += std::to_string(n);
}

// The UTF-16 units in UTF-8 text: what a script's string length counts.
std::size_t utf16_units(std::string_view text) {
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // A lead byte starts a character; those of four bytes take two units.
        units += (byte & 0xC0) != 0x80 ? 1 : 0;
        units += byte >= 0xF0 ? 1 : 0;
    }
    return units;
}

// The kinds, each as what it shares with the one before and the rest: names of one protocol
// and header mostly differ only at their ends.
void append_kinds(std::string& out, const std::vector<std::string>& kinds) {
    out += "[";
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        std::size_t shared = 0;
        if (k > 0) {
            const std::string& before = kinds[k - 1];
            while (shared < before.size() && shared < kinds[k].size() &&
                   before[shared] == kinds[k][shared]) {
                ++shared;
            }
            // Not inside a character.
            while (shared > 0 && shared < kinds[k].size() &&
                   (static_cast<unsigned char>(kinds[k][shared]) & 0xC0) == 0x80) {
                --shared;
            }
        }
        out += k > 0 ? ",[" : "[";
        append_number(out, utf16_units(std::string_view(kinds[k]).substr(0, shared)));
        out += ",";
        append_json_string(out, std::string_view(kinds[k]).substr(shared));
        out += "]";
    }
    out += "]";
}

template <typename Field>
void append_column(std::string& out, const char* name, const std::vector<capture::exchange>& all,
                   Field field) {
    out += ",\"";
    out += name;
    out += "\":[";
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        append_number(out, field(i));
    }
    out += "]";
}

const char* mark_name(const capture::mark& m) {
    return m.kind == capture::entry_kind::damaged     ? "damaged"
           : m.kind == capture::entry_kind::reply     ? "reply"
           : m.kind == capture::entry_kind::cut_short ? "cut-short"
                                                      : "note";
}

std::string_view text_of(const page_texts& texts, const page_texts::text& t, std::size_t room) {
    return t.size == 0 || t.at + t.size > room ? std::string_view()
                                               : std::string_view(texts.arena).substr(t.at, t.size);
}

// A word that nothing in the log can know beforehand: only the page's own script and style
// carry it.
std::string nonce() {
    std::random_device random;
    std::string word;
    for (int i = 0; i < 4; ++i) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(random()));
        word += hex;
    }
    return word;
}

void replace_all(std::string& text, std::string_view what, std::string_view with) {
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
}

}  // namespace

std::string report_page(const std::string& log_name, const counted_log& log,
                        const page_texts& texts, capture::row_order order) {
    const capture::census& c = log.census;
    const std::vector<capture::exchange>& all = c.exchanges();
    std::string page = reinterpret_cast<const char*>(pilro_report_page);
    replace_all(page, "PILRO_NONCE", nonce());

    std::string data = "{\"log\":";
    append_json_string(data, log_name);
    data += ",\"bytes\":" + std::to_string(log.size);
    data += ",\"replies\":";
    data += c.replies() > 0 ? "true" : "false";
    data += ",\"order\":";
    data += order == capture::row_order::time    ? "\"time\""
            : order == capture::row_order::count ? "\"count\""
                                                 : "\"name\"";
    data += ",\"textLimit\":" + std::to_string(page_texts::limit);
    data += ",\"statuses\":[";
    for (const int code : c.statuses()) {
        data += (data.back() == '[' ? "" : ",") + std::to_string(code);
    }
    data += "],\"kinds\":";
    append_kinds(data, c.kinds());
    data += ",\"runs\":[";
    for (std::size_t r = 0; r < c.runs(); ++r) {
        data += (r > 0 ? ",[" : "[") + std::to_string(c.run_start(r)) + "," +
                std::to_string(c.run_start(r + 1) - c.run_start(r)) + "," +
                std::to_string(c.run_entries(r)) + "]";
    }
    data += "]";
    append_column(data, "kind", all, [&](std::size_t i) { return all[i].kind; });
    // Each request's entry number, from the one before it in its run.
    append_column(data, "entry", all, [&](std::size_t i) {
        const bool first = i == 0 || all[i - 1].run != all[i].run;
        return all[i].entry + 1 - (first ? 0 : all[i - 1].entry + 1);
    });
    append_column(data, "status", all, [&](std::size_t i) { return all[i].status; });
    append_column(data, "time", all, [&](std::size_t i) { return all[i].microseconds; });
    append_column(data, "in", all, [&](std::size_t i) { return all[i].bytes_in; });
    append_column(data, "out", all, [&](std::size_t i) { return all[i].bytes_out; });

    // The texts fill what room the rest leaves, up to their own budget.
    const std::size_t marks_room = 64 * c.marks().size() + 256;
    const std::size_t rest = page.size() + data.size() + marks_room + 64 * texts.exchanges.size();
    const std::size_t room = rest < page_limit ? page_limit - rest : 0;
    data += ",\"marks\":[";
    for (std::size_t m = 0; m < c.marks().size(); ++m) {
        const capture::mark& mark = c.marks()[m];
        data += (m > 0 ? ",[" : "[") + std::to_string(mark.run) + "," +
                std::to_string(mark.entry + 1) + "," + std::to_string(mark.requests_before) +
                ",\"" + mark_name(mark) + "\"," + std::to_string(mark.size) + ",";
        const std::string_view text =
            m < texts.marks.size() ? text_of(texts, texts.marks[m], room) : std::string_view();
        data += text.empty() ? "null" : std::string(text);
        data += "]";
    }
    data += "],\"texts\":[";
    // The texts on the page are those of the first requests: from is the first without.
    std::size_t from = 0;
    bool cut = false;
    for (const page_texts::kept& kept : texts.exchanges) {
        const std::string_view request = text_of(texts, kept.request, room);
        if (kept.exchange != from || request.empty()) {
            break;
        }
        const std::string_view reply = text_of(texts, kept.reply, room);
        data += from > 0 ? ",[" : "[";
        data += std::to_string(kept.exchange) + ",";
        data += request;
        data += ",";
        data += reply.empty() ? "null" : std::string(reply);
        data += "," + std::to_string((kept.request_cut ? 1 : 0) | (kept.reply_cut ? 2 : 0)) + "]";
        cut = cut || kept.request_cut || kept.reply_cut;
        ++from;
    }
    data += "],\"textsFrom\":";
    data += from < all.size() ? std::to_string(from) : "-1";
    data += ",\"cutTexts\":";
    data += cut ? "true" : "false";
    data += "}";
    const std::size_t at = page.find("PILRO_DATA");
    page.replace(at, std::strlen("PILRO_DATA"), data);
    return page;
}

bool write_file(const std::string& path, const std::string& text, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot write " + path + ": " + std::generic_category().message(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int code = errno;
    if (std::fclose(file) != 0 || !written) {
        error =
            "cannot write " + path + ": " + std::generic_category().message(written ? errno : code);
        return false;
    }
    return true;
}

}  // namespace pilro::log
