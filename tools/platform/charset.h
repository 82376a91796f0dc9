// The charsets the tools can read and write, on top of the platform's conversions. The text
// side is always UTF-8. Shift_JIS means Windows code page 932 everywhere (what SAORI hosts
// send under that name); EUC-JP, ISO-8859-1, windows-1252 and US-ASCII are there as well.
// Characters are told apart here, not by the platform, so that both platforms split a byte
// string the same way and reject the same characters.
#ifndef PILRO_TOOLS_CHARSET_H
#define PILRO_TOOLS_CHARSET_H

#include <memory>
#include <string>
#include <string_view>

#include "platform.h"

namespace pilro::charset {

enum class family { us_ascii, utf_8, iso_8859_1, windows_1252, shift_jis, euc_jp };

struct charset {
    family kind;
    // The name messages give it.
    const char* name;
    platform::native_charset native;
};

// The charset a Charset header names, by any of its common spellings ("Shift_JIS", "SJIS",
// "Windows-31J", "CP932", ...), compared without regard to case and surrounding blanks; null
// for a name not known here.
const charset* find_charset(std::string_view name);

// The names find_charset knows, for usage texts: one line per charset.
extern const char known_names[];

// Encodes UTF-8 text in the charset, every character exactly: a character that the charset
// does not hold, or holds only as a look-alike (U+00A5 YEN SIGN as 0x5C in Shift_JIS), is
// an error. Returns false with error naming the first such character ("U+00A5") and out
// unchanged. Precondition: text is valid UTF-8.
bool encode(const charset& to, std::string_view text, std::string& out, std::string& error);

// Whether the bytes are UTF-8 throughout: well-formed characters only.
bool is_utf8(std::string_view bytes);

// Turns bytes in a charset into one line of text for a reader, in UTF-8. Each character
// appears as itself, except: backslash as "\\", CR LF and tab as "\r", "\n", "\t", other
// control characters of one byte as "\xNN" and C1 controls as "\uNNNN"; a byte that starts
// no character of the charset is "\xNN" and reading goes on at the next byte. Without a
// charset (null) only ASCII is read as characters.
class reader {
  public:
    explicit reader(const charset* from);
    ~reader();
    reader(const reader&) = delete;
    reader& operator=(const reader&) = delete;

    std::string readable(std::string_view bytes);

  private:
    const charset* from_;
    // For the charsets that need the platform's tables; null otherwise.
    std::unique_ptr<platform::charset_converter> to_utf8_;
};

}  // namespace pilro::charset

#endif
