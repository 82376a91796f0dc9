#include "charset.h"

#include <cstdio>

namespace pilro::charset {
namespace {

// Code pages and iconv names. Shift_JIS is code page 932 on both sides: glibc's "SHIFT_JIS"
// would read 0x5C as YEN SIGN, where hosts mean a backslash.
const charset charsets[] = {
    {family::us_ascii, "US-ASCII", {20127, "ASCII"}},
    {family::utf_8, "UTF-8", {65001, "UTF-8"}},
    {family::iso_8859_1, "ISO-8859-1", {28591, "ISO-8859-1"}},
    {family::windows_1252, "windows-1252", {1252, "CP1252"}},
    {family::shift_jis, "Shift_JIS", {932, "CP932"}},
    {family::euc_jp, "EUC-JP", {20932, "EUC-JP"}},
};

struct spelling {
    const char* name;
    family kind;
};

const spelling spellings[] = {
    {"us-ascii", family::us_ascii},
    {"ascii", family::us_ascii},
    {"utf-8", family::utf_8},
    {"utf8", family::utf_8},
    {"iso-8859-1", family::iso_8859_1},
    {"iso8859-1", family::iso_8859_1},
    {"iso_8859-1", family::iso_8859_1},
    {"latin1", family::iso_8859_1},
    {"latin-1", family::iso_8859_1},
    {"windows-1252", family::windows_1252},
    {"cp1252", family::windows_1252},
    {"x-cp1252", family::windows_1252},
    {"shift_jis", family::shift_jis},
    {"shift-jis", family::shift_jis},
    {"shiftjis", family::shift_jis},
    {"sjis", family::shift_jis},
    {"x-sjis", family::shift_jis},
    {"ms_kanji", family::shift_jis},
    {"csshiftjis", family::shift_jis},
    {"windows-31j", family::shift_jis},
    {"cswindows31j", family::shift_jis},
    {"cp932", family::shift_jis},
    {"ms932", family::shift_jis},
    {"windows-932", family::shift_jis},
    {"euc-jp", family::euc_jp},
    {"eucjp", family::euc_jp},
    {"x-euc-jp", family::euc_jp},
};

const charset& of(family kind) {
    for (const charset& known : charsets) {
        if (known.kind == kind) {
            return known;
        }
    }
    return charsets[0];
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(std::string_view given, const char* known) {
    std::size_t i = 0;
    for (; i < given.size() && known[i] != '\0'; ++i) {
        if (lower(given[i]) != known[i]) {
            return false;
        }
    }
    return i == given.size() && known[i] == '\0';
}

// windows-1252's 0x80..0x9F; 0 where the code page has no character.
constexpr char32_t windows_1252_high[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

unsigned char byte_at(std::string_view bytes, std::size_t at) {
    return static_cast<unsigned char>(bytes[at]);
}

bool in(unsigned char c, unsigned low, unsigned high) {
    return c >= low && c <= high;
}

// The well-formed UTF-8 character at bytes[at]: its length, with its code point in cp; 0 for
// anything else (stray continuation bytes, overlong forms, surrogates, past U+10FFFF, cut
// short).
std::size_t utf8_character(std::string_view bytes, std::size_t at, char32_t& cp) {
    const unsigned char lead = byte_at(bytes, at);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    // The length from the lead byte, and the least code point that needs that length.
    std::size_t length = 4;
    char32_t least = 0x10000;
    cp = lead & 0x07;
    if (in(lead, 0xC2, 0xDF)) {
        length = 2;
        least = 0x80;
        cp = lead & 0x1F;
    } else if (in(lead, 0xE0, 0xEF)) {
        length = 3;
        least = 0x800;
        cp = lead & 0x0F;
    } else if (!in(lead, 0xF0, 0xF4)) {
        return 0;
    }
    if (bytes.size() - at < length) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char c = byte_at(bytes, at + k);
        if ((c & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

void append_utf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string code_point_name(char32_t cp) {
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(cp));
    return name;
}

// The byte a character has in a charset of one byte per character; -1 if it has none.
int single_byte(family kind, char32_t cp) {
    if (cp < 0x80) {
        return static_cast<int>(cp);
    }
    if (kind == family::iso_8859_1 && cp <= 0xFF) {
        return static_cast<int>(cp);
    }
    if (kind == family::windows_1252) {
        if (cp >= 0xA0 && cp <= 0xFF) {
            return static_cast<int>(cp);
        }
        for (int k = 0; k < 32; ++k) {
            if (windows_1252_high[k] == cp) {
                return 0x80 + k;
            }
        }
    }
    return -1;
}

// How many bytes the character at bytes[at] takes in a double-byte family, from its lead
// and trail bytes alone (whether the platform has a character there is asked afterwards);
// 0 when these bytes start no character at all.
std::size_t multibyte_length(family kind, std::string_view bytes, std::size_t at) {
    const unsigned char lead = byte_at(bytes, at);
    const std::size_t left = bytes.size() - at;
    if (kind == family::shift_jis) {
        if (in(lead, 0xA1, 0xDF)) {
            return 1;  // half-width katakana
        }
        if ((in(lead, 0x81, 0x9F) || in(lead, 0xE0, 0xFC)) && left >= 2) {
            const unsigned char trail = byte_at(bytes, at + 1);
            return in(trail, 0x40, 0x7E) || in(trail, 0x80, 0xFC) ? 2 : 0;
        }
        return 0;
    }
    // EUC-JP: half-width katakana after 0x8E, JIS X 0212 after 0x8F, JIS X 0208 as two
    // bytes from 0xA1..0xFE.
    if (lead == 0x8E) {
        return left >= 2 && in(byte_at(bytes, at + 1), 0xA1, 0xDF) ? 2 : 0;
    }
    if (lead == 0x8F) {
        return left >= 3 && in(byte_at(bytes, at + 1), 0xA1, 0xFE) &&
                       in(byte_at(bytes, at + 2), 0xA1, 0xFE)
                   ? 3
                   : 0;
    }
    return in(lead, 0xA1, 0xFE) && left >= 2 && in(byte_at(bytes, at + 1), 0xA1, 0xFE) ? 2 : 0;
}

bool needs_platform(family kind) {
    return kind == family::shift_jis || kind == family::euc_jp;
}

void append_readable(char32_t cp, std::string& out) {
    static const char digits[] = "0123456789ABCDEF";
    switch (cp) {
        case '\\':
            out += "\\\\";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            break;
    }
    if (cp < 0x20 || cp == 0x7F) {
        out += "\\x";
        out += digits[cp >> 4];
        out += digits[cp & 0xF];
    } else if (cp >= 0x80 && cp <= 0x9F) {
        out += "\\u00";
        out += digits[cp >> 4];
        out += digits[cp & 0xF];
    } else {
        append_utf8(cp, out);
    }
}

void append_undecodable(unsigned char c, std::string& out) {
    static const char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 0xF];
}

}  // namespace

const char known_names[] =
    "  UTF-8         UTF8\n"
    "  Shift_JIS     Shift-JIS, ShiftJIS, SJIS, x-sjis, MS_Kanji, csShiftJIS, Windows-31J,\n"
    "                csWindows31J, CP932, MS932, windows-932 (all code page 932)\n"
    "  EUC-JP        EUCJP, x-euc-jp\n"
    "  ISO-8859-1    ISO8859-1, ISO_8859-1, latin1, latin-1\n"
    "  windows-1252  CP1252, x-cp1252\n"
    "  US-ASCII      ASCII\n";

const charset* find_charset(std::string_view name) {
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) {
        name.remove_prefix(1);
    }
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
        name.remove_suffix(1);
    }
    for (const spelling& known : spellings) {
        if (same_name(name, known.name)) {
            return &of(known.kind);
        }
    }
    return nullptr;
}

bool is_utf8(std::string_view bytes) {
    char32_t cp = 0;
    for (std::size_t at = 0, length = 0; at < bytes.size(); at += length) {
        if ((length = utf8_character(bytes, at, cp)) == 0) {
            return false;
        }
    }
    return true;
}

bool encode(const charset& to, std::string_view text, std::string& out, std::string& error) {
    std::unique_ptr<platform::charset_converter> there;
    std::unique_ptr<platform::charset_converter> back;
    if (needs_platform(to.kind)) {
        there = std::make_unique<platform::charset_converter>(to.native, true);
        back = std::make_unique<platform::charset_converter>(to.native, false);
    }
    std::string encoded;
    for (std::size_t at = 0; at < text.size();) {
        char32_t cp = 0;
        const std::size_t length = utf8_character(text, at, cp);
        if (length == 0) {
            error = "it is not UTF-8";  // broken precondition; never sent
            return false;
        }
        const std::string_view character = text.substr(at, length);
        at += length;
        if (to.kind == family::utf_8 || cp < 0x80) {
            encoded += character;
            continue;
        }
        if (!needs_platform(to.kind)) {
            const int byte = single_byte(to.kind, cp);
            if (byte < 0) {
                error = code_point_name(cp) + " is not in " + to.name;
                return false;
            }
            encoded += static_cast<char>(byte);
            continue;
        }
        if (!there->usable() || !back->usable()) {
            error = std::string("this system cannot convert text to ") + to.name;
            return false;
        }
        // Only a character that reads back as itself is taken: conversions that map a
        // character to a look-alike (a best fit) are one-way.
        std::string bytes;
        std::string again;
        if (!there->convert(character, bytes) || !back->convert(bytes, again) ||
            again != character) {
            error = code_point_name(cp) + " is not in " + to.name;
            return false;
        }
        encoded += bytes;
    }
    out += encoded;
    return true;
}

reader::reader(const charset* from) : from_(from) {
    if (from != nullptr && needs_platform(from->kind)) {
        to_utf8_ = std::make_unique<platform::charset_converter>(from->native, false);
    }
}

reader::~reader() = default;

std::string reader::readable(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const family kind = from_ != nullptr ? from_->kind : family::us_ascii;
    for (std::size_t at = 0; at < bytes.size();) {
        const unsigned char c = byte_at(bytes, at);
        if (c < 0x80) {
            append_readable(c, out);
            ++at;
            continue;
        }
        if (kind == family::utf_8) {
            char32_t cp = 0;
            const std::size_t length = utf8_character(bytes, at, cp);
            if (length > 0) {
                append_readable(cp, out);
                at += length;
                continue;
            }
        } else if (kind == family::iso_8859_1) {
            append_readable(c, out);
            ++at;
            continue;
        } else if (kind == family::windows_1252) {
            const char32_t cp = c >= 0xA0 ? c : windows_1252_high[c - 0x80];
            if (cp != 0) {
                append_utf8(cp, out);
                ++at;
                continue;
            }
        } else if (needs_platform(kind)) {
            const std::size_t length = multibyte_length(kind, bytes, at);
            if (length > 0 && to_utf8_->convert(bytes.substr(at, length), out)) {
                at += length;
                continue;
            }
        }
        append_undecodable(c, out);
        ++at;
    }
    return out;
}

}  // namespace pilro::charset
