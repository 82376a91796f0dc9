// Captured logs on arbitrary bytes: cut, joined, damaged or of no protocol at all. Reading them
// must end, tile the bytes, never make a reply (or anything that starts as one) a request,
// pair a reply only with an earlier request of its own run, once, and agree with what a reader
// of a growing log gets. The relay's reply line must read back as written. The stub's index of
// a capture must answer as a plain model of its rules does, and every reply block it makes
// must hold the reply as its rules say, within the block.
//
// Input: [flags] [log bytes...]
//   flags bit 0  also read the log joined with itself
//   flags bit 1  also read the log without its first half (a log cut at the front)
//   flags bit 2  check a reply line written from the first bytes, read back
//   flags bit 3  index the log as the stub does, and send it the log's own requests, and each
//               with its Sender line changed, and with a header line the ignore file names
//               changed
//   flags bit 4  the bytes up to the first NUL are an ignore file for the stub's index, the
//               rest the log
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_log.h"
#include "require.h"
#include "stub/reply_index.h"

namespace {

namespace capture = pilro::capture;
using pilro::fuzz::require;

// The CRC-32 a bit at a time, as the polynomial defines it.
std::uint32_t model_crc32(std::string_view bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        c ^= static_cast<unsigned char>(byte);
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
    }
    return c ^ 0xFFFFFFFFu;
}

void check_log(std::string_view log) {
    const std::vector<capture::entry> entries = capture::split_entries(log);
    std::size_t at = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const capture::entry& e = entries[i];
        require(e.offset == at && e.size > 0, "entries tile the log");
        require(e.kind != capture::entry_kind::cut_short || i + 1 == entries.size(),
                "only the last entry is cut short");
        const std::string_view bytes = capture::entry_bytes(log, e);
        require(e.kind != capture::entry_kind::request || bytes.compare(0, 6, "reply(") != 0,
                "nothing that starts as a reply is a request");
        if (e.kind == capture::entry_kind::reply) {
            const capture::reply r = capture::read_reply(log, e);
            require(r.bytes.size() <= bytes.size(), "a reply's bytes lie in its entry");
        }
        if (e.kind == capture::entry_kind::damaged) {
            require(!capture::damage(log, e).empty(), "a damaged entry says why");
        }
        // A reader of a growing log sees this entry, or waits for more.
        const capture::entry growing = capture::entry_at(log, e.offset, true);
        require(growing.kind == capture::entry_kind::cut_short ||
                    (growing.kind == e.kind && growing.size == e.size),
                "a growing log's reader gets the same entry or waits");
        at += e.size;
    }
    require(at == log.size(), "entries cover the log");

    const std::vector<capture::run> runs = capture::split_runs(log);
    std::size_t count = 0;
    for (const capture::run& r : runs) {
        require(!r.entries.empty(), "no run is empty");
        std::vector<bool> answered(r.entries.size(), false);
        for (std::size_t k = 0; k < r.entries.size(); ++k) {
            const capture::entry& e = r.entries[k];
            require(e.offset == entries[count].offset && e.kind == entries[count].kind,
                    "runs hold the entries in order");
            ++count;
            if (e.request == capture::no_request) {
                continue;
            }
            require(e.kind == capture::entry_kind::reply, "only replies answer");
            require(e.request < k, "a reply answers an earlier entry of its run");
            require(r.entries[e.request].kind == capture::entry_kind::request,
                    "a reply answers a request");
            require(!answered[e.request], "a request has one reply at most");
            answered[e.request] = true;
        }
    }
    require(count == entries.size(), "runs hold every entry");
    capture::holds_pilro_entries(log, runs);
}

// A reply line made of the input's first bytes, written as the relay writes it and read back.
void check_reply_line(std::string_view input) {
    std::uint64_t numbers[4] = {};
    for (std::size_t i = 0; i < 4 * sizeof(std::uint64_t) && i < input.size(); ++i) {
        numbers[i / 8] = numbers[i / 8] << 8 | static_cast<unsigned char>(input[i]);
    }
    const unsigned flags = input.size() > 32 ? static_cast<unsigned char>(input[32]) : 0;
    capture::reply says{};
    says.paired = (flags & 1) != 0;
    says.identified = says.paired && (flags & 2) != 0;
    says.request_end = says.paired ? numbers[0] % 10000000000000000000u : 0;
    says.request_size = says.identified ? numbers[1] % 10000000000000000000u : 0;
    says.request_crc = says.identified ? static_cast<std::uint32_t>(numbers[2]) : 0;
    says.microseconds = numbers[3] % 10000000000000000000u;
    says.has_length = (flags & 4) != 0;
    says.length = says.has_length ? static_cast<long long>(numbers[2]) : 0;
    says.block = (flags & 8) != 0;
    const std::string_view bytes = says.block ? input.substr(input.size() > 33 ? 33 : 0) : "";
    char line[capture::reply_line_capacity];
    const std::size_t h = capture::format_reply_line(line, says, bytes.size());
    require(h <= sizeof line, "a reply line fits its room");
    std::string entry(line, h);
    entry.append(bytes).append(says.block ? "\r\n\r\n" : "\r\n");
    const capture::entry e = capture::entry_at(entry, 0);
    require(e.kind == capture::entry_kind::reply && e.size == entry.size(),
            "a written reply entry reads as one, whole");
    const capture::reply read = capture::read_reply(entry, e);
    require(read.paired == says.paired && read.identified == says.identified &&
                read.request_end == says.request_end && read.request_size == says.request_size &&
                read.request_crc == says.request_crc && read.microseconds == says.microseconds &&
                read.has_length == says.has_length && read.length == says.length &&
                read.block == says.block && read.bytes == bytes,
            "a reply line reads back as written");
}

// The names an ignore file holds, the plain way: lower-cased, each with whether it ends in '*'.
using names = std::vector<std::pair<std::string, bool>>;

names model_ignored(std::string_view text) {
    names found;
    std::string all(text);
    if (all.rfind("\xEF\xBB\xBF", 0) == 0) {
        all.erase(0, 3);
    }
    std::size_t at = 0;
    while (at < all.size()) {
        std::size_t end = all.find('\n', at);
        end = end == std::string::npos ? all.size() : end;
        std::string line = all.substr(at, end - at);
        at = end + 1;
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        if (line.back() == ':') {
            line.pop_back();
        }
        const bool prefix = !line.empty() && line.back() == '*';
        if (prefix) {
            line.pop_back();
        }
        for (char& c : line) {
            c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
        }
        found.emplace_back(line, prefix);
    }
    return found;
}

// Whether a header line's name (before its colon, lower-cased) is one the fallback leaves out.
bool left_out(const std::string& name, const names& ignored) {
    if (name == "sender" || name == "securitylevel") {
        return true;
    }
    for (const auto& [ignored_name, prefix] : ignored) {
        if (prefix ? name.compare(0, ignored_name.size(), ignored_name) == 0 &&
                         name.size() >= ignored_name.size()
                   : name == ignored_name) {
            return true;
        }
    }
    return false;
}

std::string lower_name(std::string_view line) {
    std::string name(line.substr(0, line.find(':')));
    for (char& c : name) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    return name;
}

// The request as the stub's fallback compares it, made the plain way: without the header lines
// (before the first empty one) named Sender or SecurityLevel, in any case, or as the ignore
// file names them.
std::string reduced(std::string_view request, const names& ignored) {
    std::string kept;
    bool headers = true;
    for (std::size_t at = 0; at < request.size();) {
        const std::size_t end = request.find("\r\n", at);
        const std::string_view line = request.substr(
            at, end == std::string_view::npos ? std::string_view::npos : end + 2 - at);
        const bool dropped = at > 0 && headers && line.find(':') != std::string_view::npos &&
                             left_out(lower_name(line), ignored);
        headers = headers && (at == 0 || line != "\r\n");
        if (!dropped) {
            kept.append(line);
        }
        at += line.size();
    }
    return kept;
}

// The request with the value of its first header line that matches changed; empty when none
// does.
template <typename matches>
std::string changed_header(const std::string& request, matches which) {
    for (std::size_t at = request.find("\r\n"); at != std::string::npos && at + 2 < request.size();
         at = request.find("\r\n", at + 2)) {
        const std::string_view line = std::string_view(request).substr(at + 2);
        if (line.compare(0, 2, "\r\n") == 0) {
            break;
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && colon < line.find("\r\n") &&
            which(lower_name(line))) {
            return request.substr(0, at + 3 + colon) + " \x01fuzz" + request.substr(at + 3 + colon);
        }
    }
    return std::string();
}

// The replies captured for each request's bytes, or for its reduced bytes, in capture order.
using reply_lists = std::map<std::string, std::vector<const capture::reply*>>;

void* allocate(std::size_t n) {
    return std::malloc(n == 0 ? 1 : n);
}

// A reply block as reply_block's rules make it.
void check_block(const pilro::stub::captured_reply& reply) {
    long length = -7;
    char* block = static_cast<char*>(pilro::stub::reply_block(reply, &length, allocate));
    require((block == nullptr) == !reply.block, "a null reply, and only that, is null");
    const long long wanted =
        reply.has_length ? reply.length : static_cast<long long>(reply.bytes.size());
    require(static_cast<long long>(length) == wanted ||
                static_cast<long long>(static_cast<long>(wanted)) != wanted,
            "the length is the captured one, or the bytes' count");
    if (block != nullptr) {
        require(std::memcmp(block, reply.bytes.data(), reply.bytes.size()) == 0,
                "the block starts with the bytes");
        const long long padded = static_cast<long long>(pilro::stub::longest_padded_reply);
        const std::size_t end =
            length > static_cast<long long>(reply.bytes.size()) && length <= padded
                ? static_cast<std::size_t>(length)
                : reply.bytes.size();
        for (std::size_t i = reply.bytes.size(); i <= end; ++i) {
            require(block[i] == '\0', "NULs follow the bytes up to the length, and one more");
        }
        std::free(block);
    }
}

void check_stub(std::string_view log, std::string_view ignore_file) {
    const names ignored = model_ignored(ignore_file);
    reply_lists exact;
    reply_lists by_reduced;
    std::vector<capture::reply> replies;
    std::vector<std::string> requests;
    const std::vector<capture::run> runs = capture::split_runs(log);
    for (const capture::run& r : runs) {
        for (const capture::entry& e : r.entries) {
            if (e.request != capture::no_request) {
                replies.push_back(capture::read_reply(log, e));
            }
        }
    }
    // Each request's reply in the order of the requests.
    std::size_t next = 0;
    std::vector<std::pair<std::string, const capture::reply*>> pairs;
    for (const capture::run& r : runs) {
        std::map<std::size_t, const capture::reply*> reply_to;
        for (const capture::entry& e : r.entries) {
            if (e.request != capture::no_request) {
                reply_to[e.request] = &replies[next++];
            }
        }
        for (const auto& [k, reply] : reply_to) {
            pairs.emplace_back(std::string(capture::entry_bytes(log, r.entries[k])), reply);
        }
    }
    for (const auto& [request, reply] : pairs) {
        exact[request].push_back(reply);
        by_reduced[reduced(request, ignored)].push_back(reply);
        if (exact[request].size() == 1 && requests.size() < 16) {
            requests.push_back(request);
        }
    }

    pilro::stub::reply_index index(log, pilro::stub::read_ignore_file(ignore_file));
    require(index.summary().replies == pairs.size(), "every captured reply is indexed");
    require(index.summary().requests == exact.size(), "every request's bytes are a key");
    const auto same = [](const pilro::stub::captured_reply* got, const capture::reply* want) {
        return got != nullptr && got->block == want->block && got->has_length == want->has_length &&
               (!got->has_length || got->length == want->length) && got->bytes == want->bytes &&
               got->bytes.data() == want->bytes.data();
    };
    for (const std::string& request : requests) {
        const std::vector<const capture::reply*>& list = exact[request];
        for (std::size_t k = 0; k <= list.size(); ++k) {
            const pilro::stub::captured_reply* got = index.answer(request);
            require(same(got, list[k < list.size() ? k : list.size() - 1]),
                    "the k-th request gets the k-th reply captured for its bytes, then the last");
            check_block(*got);
        }
    }
    // The same requests from another sender, or with a header that the ignore file names
    // changed, in a fresh index: each the k-th of its reduced bytes, where its bytes are not
    // captured as they are. Last first, so that requests that the index takes together wrongly
    // get each other's replies.
    pilro::stub::reply_index fresh(log, pilro::stub::read_ignore_file(ignore_file));
    std::map<std::string, std::size_t> asked;
    for (auto request = requests.rbegin(); request != requests.rend(); ++request) {
        for (const std::string& other :
             {changed_header(*request, [](const std::string& name) { return name == "sender"; }),
              changed_header(*request, [&ignored](const std::string& name) {
                  return name != "sender" && name != "securitylevel" && left_out(name, ignored);
              })}) {
            if (other.empty() || exact.count(other) != 0) {
                continue;
            }
            const std::string key = reduced(other, ignored);
            const auto found = by_reduced.find(key);
            const pilro::stub::captured_reply* got = fresh.answer(other);
            if (found == by_reduced.end()) {
                require(got == nullptr,
                        "a request is answered only when its reduced bytes are captured");
                continue;
            }
            const std::size_t k = asked[key]++;
            require(same(got, found->second[std::min(k, found->second.size() - 1)]),
                    "a request with other headers that the fallback leaves out gets the k-th "
                    "reply captured for its reduced bytes");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned flags = data[0];
    std::string_view log(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string_view ignore_file;
    if ((flags & 16) != 0) {
        const std::size_t nul = log.find('\0');
        ignore_file = log.substr(0, nul);
        log.remove_prefix(nul == std::string_view::npos ? log.size() : nul + 1);
    }
    require(capture::crc32(log) == model_crc32(log), "the CRC-32 is the polynomial's");
    check_log(log);
    if ((flags & 1) != 0) {
        check_log(std::string(log) + std::string(log));
    }
    if ((flags & 2) != 0) {
        check_log(log.substr(log.size() / 2));
    }
    if ((flags & 4) != 0) {
        check_reply_line(log);
    }
    if ((flags & 8) != 0) {
        check_stub(log, ignore_file);
    }
    return 0;
}
