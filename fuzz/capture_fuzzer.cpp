// Captured logs on arbitrary bytes: cut, joined, damaged or of no protocol at all. Reading them
// must end, tile the bytes, never make a reply (or anything that starts as one) a request,
// pair a reply only with an earlier request of its own run, once, and agree with what a reader
// of a growing log gets. The relay's reply line must read back as written.
//
// Input: [flags] [log bytes...]
//   flags bit 0  also read the log joined with itself
//   flags bit 1  also read the log without its first half (a log cut at the front)
//   flags bit 2  check a reply line written from the first bytes, read back
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_log.h"
#include "require.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned flags = data[0];
    const std::string_view log(reinterpret_cast<const char*>(data) + 1, size - 1);
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
    return 0;
}
