// A captured log counted request by request, for summaries: each request with its kind and
// what answered it, and the entries that are no part of an exchange (notes, damaged and
// cut-short entries, replies that answer no request), each where it stands. It is told of the
// entries one by one in the log's order, so that a reader may hand it a large log part by
// part, and it groups and pairs them as split_runs does.
#ifndef PILRO_CAPTURE_CENSUS_H
#define PILRO_CAPTURE_CENSUS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_log.h"

namespace pilro::capture {

// What makes requests of one kind: the request line, and for SHIORI the value of its ID
// header, for SAORI that of its Argument0 (header names compared without regard to case,
// values without blanks around them, as for Charset). A request of another protocol, or
// without that header, is of the kind of its request line alone. The line and the value are
// cut past kind_bytes bytes each, so that requests that are no requests (bytes without a line
// break) make no kinds of their size.
inline constexpr std::size_t kind_bytes = 200;
struct request_kind {
    std::string_view line;
    // "ID" or "Argument0" where the request has that header line; otherwise empty.
    std::string_view header;
    std::string_view value;
    bool line_cut = false;
    bool value_cut = false;
};
request_kind kind_of_request(std::string_view request);

// What a reply's status is besides its code.
inline constexpr int no_reply = -1;    // the request has no reply entry
inline constexpr int null_reply = -2;  // the real module returned no block
inline constexpr int no_status = -3;   // its first line has no status code

// The status code of a reply's bytes: the three digits after the first word of its first
// line, when that word is NAME/VERSION ("SAORI/1.0 204 No Content"); otherwise no_status.
int reply_status(std::string_view reply);

// One request and what became of it.
struct exchange {
    std::uint32_t kind;
    std::uint32_t run;
    // The request's entry among its run's entries, from 0.
    std::uint32_t entry;
    // A status code, or no_reply, null_reply, no_status.
    std::int32_t status = no_reply;
    // For those with a reply entry.
    std::uint64_t microseconds = 0;
    std::uint64_t bytes_in;
    std::uint64_t bytes_out = 0;
};

// An entry that belongs to no exchange: a note, a damaged or a cut-short entry, or a reply
// (one that answers no request of its run).
struct mark {
    entry_kind kind;
    std::uint32_t run;
    std::uint32_t entry;
    // How many requests of its run come before it: where it stands among them.
    std::uint32_t requests_before;
    // For a reply: whether the relay could log its request at all.
    bool unlogged;
    std::uint64_t offset;  // in the file
    std::uint64_t size;
};

class census {
  public:
    // A kind's name as a reader is to see it, from the request's Charset value: asked once for
    // each kind of bytes and charset. Kinds whose names are the same are one once finished.
    using namer = std::function<std::string(const request_kind& kind, std::string_view charset)>;
    explicit census(namer name);

    // To be told of every entry, in order: bytes are its bytes, and file_offset is where they
    // start in the file. Returns the index of the exchange that a request starts or a reply
    // completes; npos for any other entry.
    std::size_t add(const entry& e, std::string_view bytes, std::uint64_t file_offset);
    // After the last entry: makes kinds of the same name one (kinds() and the exchanges' kinds
    // change; kinds stay in the order they were first met).
    void finish();

    const std::vector<exchange>& exchanges() const { return exchanges_; }
    const std::vector<std::string>& kinds() const { return names_; }
    const std::vector<mark>& marks() const { return marks_; }
    // The status codes that replies gave, ascending, then no_status where a reply had none.
    std::vector<int> statuses() const;
    std::size_t runs() const { return run_starts_.size(); }
    // The exchanges of run r (from 0) are those from run_start(r) to run_start(r + 1).
    std::size_t run_start(std::size_t r) const {
        return r < run_starts_.size() ? run_starts_[r] : exchanges_.size();
    }
    std::size_t run_entries(std::size_t r) const { return run_entries_[r]; }
    // Reply entries of any kind, paired or not.
    std::size_t replies() const { return replies_; }
    // As holds_pilro_entries and run_tracker::overlapping say of the log so far.
    bool holds_pilro_entries() const { return pilro_; }
    bool overlapping() const { return tracker_.overlapping(); }

  private:
    std::uint32_t kind_of(std::string_view request);

    namer name_;
    run_tracker tracker_;
    reply_pairing pairing_;
    std::vector<exchange> exchanges_;
    std::vector<mark> marks_;
    std::vector<std::size_t> run_starts_;
    std::vector<std::size_t> run_entries_;
    std::vector<std::string> names_;
    // Strings found by their hashes, with no allocation per string: a log may hold hundreds
    // of thousands of kinds. Ids count from 0 in the order strings were added.
    class string_index {
      public:
        // The id of text, which text_of(id) gives back, and whether it was added now.
        std::uint32_t find_or_add(std::string_view text,
                                  const std::function<std::string_view(std::uint32_t)>& text_of,
                                  bool& added);

      private:
        std::vector<std::uint32_t> slots_;  // an id + 1, or 0 where free
        std::vector<std::size_t> hashes_;   // by id
    };
    // Kinds by their bytes, and the charset where they are not ASCII, which lie back to back.
    string_index by_bytes_;
    std::string keys_;
    std::vector<std::size_t> key_ends_;
    std::string key_;
    std::vector<bool> seen_statuses_ = std::vector<bool>(1000);
    bool no_status_seen_ = false;
    std::size_t replies_ = 0;
    bool pilro_ = false;
};

// One row of a summary: the requests of one kind, or all of them.
struct summary_row {
    std::uint32_t kind = 0;
    std::uint64_t count = 0;
    // One count per status of census::statuses, in that order.
    std::vector<std::uint64_t> statuses;
    std::uint64_t null_replies = 0;
    std::uint64_t unanswered = 0;
    // The real module's times, of the requests with a reply entry: how many, their sum, and
    // the median, 95th percentile (each by nearest rank: the smallest time that at least that
    // share of the times does not exceed) and maximum.
    std::uint64_t timed = 0;
    std::uint64_t total_us = 0;
    std::uint64_t median_us = 0;
    std::uint64_t p95_us = 0;
    std::uint64_t max_us = 0;
    std::uint64_t bytes_in = 0;
    std::uint64_t bytes_out = 0;
};

enum class row_order {
    time,   // by total time, most first, then by count, most first, then by name
    count,  // by count, most first, then by total time, then by name
    name    // by name, as bytes
};

struct summary_table {
    std::vector<summary_row> rows;
    summary_row total;
};

// The exchanges from first to last of c in one row per kind, in order, and their total.
summary_table summarize(const census& c, std::size_t first, std::size_t last, row_order order);

}  // namespace pilro::capture

#endif
