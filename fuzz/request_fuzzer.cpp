// The exports as a host drives them, with random bytes in the host's block and random length
// arguments, checked against what the module may read of that block.
//
// Input: [flags] [amount] [block bytes...]
//   flags bits 0-2  length shape: 0-2 the block's size; 3 shorter by amount;
//                   4 past the block's end; 5 negative; 6 null block; 7 null length pointer
//                   (load, which takes no pointer, gets the block's size there)
//   flags bit 3     log to a scratch file (otherwise the log path is empty: no file I/O)
//   flags bit 4     call load instead of request
//   flags bit 5     request: its first allocation fails (the private copy of a large request,
//                   the reply block of a small one, whose copy lives on the stack)
//   flags bit 6     request: its second allocation fails
//   flags bit 7     call unload afterwards
// The seed corpus under corpus/request/ follows this layout.
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "calllog/calllog.h"
#include "module/exports.h"
#include "prim/prim.h"
#include "request/request.h"
#include "require.h"

#ifndef PILRO_FUZZ_UNREADABLE_INPUTS
#define PILRO_FUZZ_UNREADABLE_INPUTS 1
#endif

namespace {

enum shape : unsigned {
    whole_block = 0,  // 0-2
    shorter = 3,
    past_end = 4,
    negative = 5,
    null_block = 6,
    null_length = 7,
};

constexpr unsigned log_bit = 1u << 3;
constexpr unsigned load_bit = 1u << 4;
constexpr unsigned first_fails_bit = 1u << 5;
constexpr unsigned second_fails_bit = 1u << 6;
constexpr unsigned unload_bit = 1u << 7;

std::string scratch_log;

using pilro::fuzz::fail;
using pilro::fuzz::require;

std::string read_scratch_log() {
    std::ifstream in(scratch_log, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string cut_at_nul(std::string_view bytes) {
    return std::string(bytes.substr(0, bytes.find('\0')));
}

// Counts the module's allocations in one request and fails the ones the input picks.
unsigned allocation_number = 0;
unsigned failing_allocations = 0;  // bit i: allocation i + 1 fails

void* picky_alloc(std::size_t n) {
    ++allocation_number;
    if (allocation_number <= 2 && (failing_allocations >> (allocation_number - 1) & 1u) != 0) {
        return nullptr;
    }
    return pilro::prim::block_alloc(n);
}

long length_for(unsigned form, std::size_t block_bytes, unsigned amount) {
    const long size = static_cast<long>(block_bytes);
    switch (form) {
        case shorter:
            return size - static_cast<long>(amount < block_bytes ? amount : block_bytes);
        case past_end:
            return amount == 255 ? LONG_MAX : size + 1 + static_cast<long>(amount);
        case negative:
            return amount == 255 ? LONG_MIN : -1 - static_cast<long>(amount);
        case null_block:
            return static_cast<long>(amount);
        default:
            return size;
    }
}

void check_request(void* block, long length, unsigned flags, const std::string& text) {
    const unsigned form = flags & 7u;
    long reply_length = length;
    long* length_pointer = form == null_length ? nullptr : &reply_length;
    void* reply;
    const bool second_fails = (flags & second_fails_bit) != 0;
    if ((flags & (first_fails_bit | second_fails_bit)) != 0) {
        allocation_number = 0;
        failing_allocations = ((flags & first_fails_bit) != 0 ? 1u : 0u) | (second_fails ? 2u : 0u);
        reply = pilro::handle_request(block, length_pointer, picky_alloc);
    } else {
        reply = request(block, length_pointer);
    }

    if ((flags & log_bit) != 0) {
        require(read_scratch_log() == text, "the log does not hold the text that was read");
    }
    const bool any_fails = (flags & (first_fails_bit | second_fails_bit)) != 0;
    const bool all_fail = (flags & first_fails_bit) != 0 && second_fails;
    if (reply == nullptr) {
        require(any_fails, "no reply block although memory was there");
        require(length_pointer == nullptr || reply_length == 0, "null reply with a length");
        return;
    }
    require(!all_fail, "a reply block the allocator never gave");
    const std::string expected = pilro::build_reply(text);
    const char* bytes = static_cast<const char*>(reply);
    if (length_pointer != nullptr) {
        require(reply_length == static_cast<long>(expected.size()), "wrong reply length");
    }
    // Under AddressSanitizer the usable size of a block is exactly what was asked for.
    require(pilro::prim::block_size(reply) == expected.size() + 1, "reply block size");
    require(
        std::memcmp(bytes, expected.data(), expected.size()) == 0 && bytes[expected.size()] == '\0',
        "reply block does not hold the reply of the text that was read, and a NUL");
    pilro::prim::block_free(reply);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One file per process: libFuzzer's -jobs and -fork run several at once.
    const char* directory = std::getenv("PILRO_FUZZ_SCRATCH");
    const std::filesystem::path base = directory != nullptr
                                           ? std::filesystem::path(directory)
                                           : std::filesystem::temp_directory_path();
    scratch_log = (base / ("pilro-fuzz-" + std::to_string(getpid()) + ".txt")).string();
    std::atexit([] { std::remove(scratch_log.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    unsigned flags = size > 0 ? data[0] : 0u;
    const unsigned amount = size > 1 ? data[1] : 0u;
    const std::size_t body_size = size > 2 ? size - 2 : 0;
    if (!PILRO_FUZZ_UNREADABLE_INPUTS && (flags & 7u) >= past_end) {
        flags &= ~7u;
    }
    const unsigned form = flags & 7u;
    const bool no_length = form == null_length && (flags & load_bit) == 0;

    void* block = nullptr;
    std::string readable;  // what the platform says the block holds, unused bytes included
    if (form != null_block) {
        block = pilro::prim::block_alloc(body_size);
        require(block != nullptr, "out of memory for the host's block");
        if (body_size > 0) {
            std::memcpy(block, data + 2, body_size);
        }
        readable.assign(static_cast<const char*>(block), pilro::prim::block_size(block));
    }
    const long length = length_for(form, body_size, amount);
    // The module reads min(length, block size) bytes; nothing from a null block or for a
    // negative length. The text ends at its first NUL.
    std::size_t read = 0;
    if (block != nullptr && length > 0 && !no_length) {
        read = static_cast<unsigned long>(length) < readable.size()
                   ? static_cast<std::size_t>(length)
                   : readable.size();
    }
    const std::string text = cut_at_nul(std::string_view(readable).substr(0, read));

    if ((flags & log_bit) != 0) {
        std::remove(scratch_log.c_str());
        pilro::set_log_file(scratch_log);
    } else {
        pilro::set_log_file({});
    }

    if ((flags & load_bit) != 0) {
        require(load(block, length) == 1, "load did not return 1");
        if ((flags & log_bit) != 0) {
            require(read_scratch_log() == "load() " + text + "\r\n\r\n", "wrong load entry");
        }
    } else {
        check_request(block, length, flags, text);
    }

    if ((flags & unload_bit) != 0) {
        const std::string before = (flags & log_bit) != 0 ? read_scratch_log() : std::string();
        require(unload() == 1, "unload did not return 1");
        if ((flags & log_bit) != 0) {
            require(read_scratch_log() == before + "unload()\r\n\r\n", "wrong unload entry");
        }
    }
    pilro::set_log_file({});
    return 0;
}
