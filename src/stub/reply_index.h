// The stub's answers: the replies that a capture holds (a log that the relay wrote, see
// capture_log.h), found by the bytes of the requests they answered.
//
// The k-th request since the index was made that has given bytes gets the reply captured for
// the k-th request with those bytes, the capture's runs read in order; past the last such
// reply, the last one answers again. A request whose bytes the capture does not hold is
// looked for once more with its Sender and SecurityLevel header lines left out (of both
// sides), since hosts differ there, and the header lines that the user's ignore file names
// (headers that change from run to run); that search counts its k by those reduced bytes. Only
// header lines are left out, never the request line or what follows the headers. Every
// request counts once by its bytes and once by its reduced bytes, however it was answered.
// Captured requests without a reply (the log ends, or the run ended, inside the module) count
// for nothing.
#ifndef PILRO_STUB_REPLY_INDEX_H
#define PILRO_STUB_REPLY_INDEX_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pilro::stub {

// A header name that the fallback leaves out: the name of a header line is what stands before
// its first colon, compared without regard to ASCII case. With prefix, any name that starts
// with it.
struct header_pattern {
    std::string lower_name;
    bool prefix;
};

// The header names of an ignore file: one a line, LF or CR LF; blanks around a name, blank
// lines and lines starting with '#' count for nothing, and so does a UTF-8 byte-order mark at
// the start. A '*' at a name's end matches any ending; a colon after a name is the header
// line's own and is dropped. Throws std::bad_alloc when memory runs out.
std::vector<header_pattern> read_ignore_file(std::string_view text);

// The NAME/VERSION that ends the request line of a request of another protocol than SAORI
// ("SHIORI/3.0" for "GET SHIORI/3.0"), for that protocol's "nothing to say"; empty for a
// SAORI request (NAME in any case) and for a text without a request line (see
// capture::is_request_line), which pilro answers.
std::string_view other_protocol(std::string_view request) noexcept;

// A reply as the capture holds it (see capture::reply).
struct captured_reply {
    bool block;
    bool has_length;
    long long length;
    std::string_view bytes;
};

// What reading the capture found, for the note that names it.
struct capture_summary {
    // Whether it holds anything of pilro's (capture::holds_pilro_entries).
    bool pilro_log = false;
    // Replies that answer a request, and how many different requests they answer.
    std::size_t replies = 0;
    std::size_t requests = 0;
    // Damaged reply entries, and whether the log ends in an entry cut short.
    std::size_t damaged = 0;
    bool cut_short = false;
    // Whether runs were open at once (see capture::run_tracker).
    bool overlapping = false;
};

class reply_index {
  public:
    // Indexes the replies of log, whose bytes must stay where they are, unchanged, for as long
    // as the index is used; the fallback leaves out the header lines that ignored names
    // besides Sender and SecurityLevel. Throws std::bad_alloc when memory runs out.
    explicit reply_index(std::string_view log, std::vector<header_pattern> ignored = {});
    reply_index(const reply_index&) = delete;
    reply_index& operator=(const reply_index&) = delete;

    const capture_summary& summary() const { return summary_; }
    // The reply to the request with these bytes, as the head comment says; null when the
    // capture holds none. Any number of threads may ask at once: the counts are atomics, and
    // nothing else changes after construction.
    const captured_reply* answer(std::string_view request) noexcept;

  private:
    struct captured_pair {
        std::string_view request;
        captured_reply reply;
    };
    // The captured requests grouped by their bytes, or by their reduced bytes.
    struct table {
        struct key {
            std::uint64_t hash;
            // A captured pair with these bytes, to compare with.
            std::uint32_t sample;
            // Its pairs, in capture order: order[first...first + count).
            std::uint32_t first;
            std::uint32_t count;
        };
        std::vector<key> keys;
        // Key number + 1 at each slot (0: free); the size is a power of two.
        std::vector<std::uint32_t> slots;
        std::vector<std::uint32_t> order;
        // How many requests with each key came so far, up to its count.
        std::unique_ptr<std::atomic<std::uint32_t>[]> seen;
    };
    static constexpr std::uint32_t no_key = static_cast<std::uint32_t>(-1);
    // Returns each pair's key.
    template <bool reduced>
    std::vector<std::uint32_t> build(table& t);
    // The key with the request's bytes, or reduced bytes; no_key for none.
    template <bool reduced>
    std::uint32_t find(const table& t, std::string_view request) const noexcept;
    // The reply to the next request of the key, counted.
    const captured_reply* next(table& t, std::uint32_t number) noexcept;

    capture_summary summary_;
    // What the fallback leaves out: Sender, SecurityLevel and the ignored names.
    std::vector<header_pattern> left_out_;
    std::vector<captured_pair> pairs_;
    table exact_;
    table reduced_;
    // Each exact key's reduced key.
    std::vector<std::uint32_t> reduced_of_;
};

// The largest block that a reply is padded to (see reply_block).
inline constexpr std::size_t longest_padded_reply = std::size_t{64} << 20;

// The block for a captured reply, made by alloc, with *length (when length is given) set to the
// length the module returned: the captured length, or the bytes' count where the host gave no
// length pointer when it was captured. A null reply is null. Otherwise the block holds the
// bytes, then NULs up to the length where that is larger (up to longest_padded_reply bytes in
// all), then a NUL: the capture holds the bytes only up to the first NUL, so a length past
// them is read as NULs, never past the block, unless it is past that bound too, as the real
// module's was. A length smaller than the bytes (or negative) is given as it is, with all the
// bytes and a NUL. A length that does not fit a long here (captured where long is wider) is
// the bytes' count. When memory runs out, returns null with *length 0, as pilro does.
void* reply_block(const captured_reply& reply, long* length, void* (*alloc)(std::size_t)) noexcept;

}  // namespace pilro::stub

#endif
