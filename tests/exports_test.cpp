// The three exports called in-process, as a host calls them, with the log in a scratch
// directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "calllog/calllog.h"
#include "file_trouble.h"
#include "module/exports.h"
#include "test_os.h"

namespace {

using pilro::test::read_file;

const bool on_windows = pilro::test::separator == '\\';

using pilro::test::host_block;

struct reply {
    std::string text;
    long length = -1;
    bool null_block = true;
};

// Checks the block's shape (reply bytes, NUL, size) and frees it as a host does.
reply take_reply(void* block, long length) {
    reply r;
    r.length = length;
    r.null_block = block == nullptr;
    if (block != nullptr) {
        const char* bytes = static_cast<const char*>(block);
        r.text.assign(bytes, static_cast<std::size_t>(length));
        EXPECT_EQ(bytes[length], '\0');
        if (on_windows) {
            EXPECT_EQ(pilro::prim::block_size(block), static_cast<std::size_t>(length) + 1);
        }
        pilro::prim::block_free(block);
    }
    return r;
}

reply send(const std::string& request_text) {
    long length = static_cast<long>(request_text.size());
    void* block = request(host_block(request_text), &length);
    return take_reply(block, length);
}

const std::string get_version = "GET Version SAORI/1.0\r\nCharset: Shift_JIS\r\nSender: X\r\n\r\n";
const std::string execute =
    "EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\nSender: X\r\nSecurityLevel: local\r\n"
    "Argument0: \x95\x5C\x8E\xA6\r\nArgument1: caf\xC3\xA9\r\nArgument2: \r\n\r\n";
const std::string ok = "SAORI/1.0 200 OK\r\n\r\n";
const std::string no_content = "SAORI/1.0 204 No Content\r\n\r\n";
const std::string bad = "SAORI/1.0 400 Bad Request\r\n\r\n";

class Exports : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = pilro::test::fresh_directory(
            std::string("exports_") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        log = directory + pilro::test::separator + "pilro.txt";
        ASSERT_TRUE(pilro::set_log_file(log));
    }
    void TearDown() override { pilro::set_log_file({}); }
    std::string directory;
    std::string log;
};

TEST_F(Exports, HostSessionGetsExactRepliesAndLeavesExactLog) {
    EXPECT_EQ(load(host_block("C:\\agent\\saori\\"), 15), 1);
    const reply version = send(get_version);
    EXPECT_EQ(version.text, ok);
    EXPECT_EQ(version.length, 20);
    const reply executed = send(execute);
    EXPECT_EQ(executed.text, no_content);
    EXPECT_EQ(executed.length, 28);
    const reply refused = send("NOTIFY SAORI/1.0\r\nSender: X\r\n\r\n");
    EXPECT_EQ(refused.text, bad);
    EXPECT_EQ(refused.length, 29);
    EXPECT_EQ(unload(), 1);
    EXPECT_EQ(read_file(log), "load() C:\\agent\\saori\\\r\n\r\n" + get_version + execute +
                                  "NOTIFY SAORI/1.0\r\nSender: X\r\n\r\nunload()\r\n\r\n");
}

TEST_F(Exports, CallsNeedNoOrder) {
    EXPECT_EQ(unload(), 1);
    EXPECT_EQ(send(execute).text, no_content);
    EXPECT_EQ(unload(), 1);
    EXPECT_EQ(load(host_block(""), 0), 1);
    EXPECT_EQ(load(host_block("again"), 5), 1);
    EXPECT_EQ(send(get_version).text, ok);
    EXPECT_EQ(read_file(log), "unload()\r\n\r\n" + execute +
                                  "unload()\r\n\r\nload() \r\n\r\nload() again\r\n\r\n" +
                                  get_version);
}

TEST_F(Exports, NulEndsTheLoggedText) {
    // The request is logged and answered up to the NUL; the length still decides the copy.
    const std::string request_text("EXECUTE SAORI/1.0\r\n\r\n\0GET Version SAORI/1.0\r\n\r\n", 46);
    EXPECT_EQ(send(request_text).text, no_content);
    // Load data stops at the NUL too, but its entry keeps its closing empty line.
    EXPECT_EQ(load(host_block(std::string("dir\0junk", 8)), 8), 1);
    // Some hosts count the NUL that ends the text.
    EXPECT_EQ(send(get_version + std::string(1, '\0')).text, ok);
    EXPECT_EQ(load(host_block(std::string("end\0", 4)), 4), 1);
    EXPECT_EQ(read_file(log),
              "EXECUTE SAORI/1.0\r\n\r\nload() dir\r\n\r\n" + get_version + "load() end\r\n\r\n");
}

TEST_F(Exports, UnreadableInputCountsAsEmpty) {
    // Negative length, null block, null length pointer: nothing is read, the empty text is
    // logged and refused.
    long length = -5;
    void* block = request(host_block(get_version), &length);
    EXPECT_EQ(take_reply(block, length).text, bad);
    length = 100;
    block = request(nullptr, &length);
    EXPECT_EQ(take_reply(block, length).text, bad);
    void* reply_block = request(host_block(get_version), nullptr);
    ASSERT_NE(reply_block, nullptr);
    EXPECT_STREQ(static_cast<const char*>(reply_block), bad.c_str());
    pilro::prim::block_free(reply_block);
    EXPECT_EQ(load(nullptr, 40), 1);
    EXPECT_EQ(load(host_block("x"), -1), 1);
    EXPECT_EQ(read_file(log), "load() \r\n\r\nload() \r\n\r\n");
}

// Requests up to a few KiB are copied to the stack, longer ones to the heap: both sides of
// that line, and one far past it, come back whole.
TEST_F(Exports, RequestsOnBothSidesOfTheStackCopyAreExact) {
    std::string expected;
    for (const std::size_t size :
         {std::size_t{4095}, std::size_t{4096}, std::size_t{4097}, std::size_t{3} << 20}) {
        std::string text = "GET Version SAORI/1.0\r\nArgument0: ";
        text.append(size - text.size() - 4, 'x').append("\r\n\r\n");
        ASSERT_EQ(text.size(), size);
        EXPECT_EQ(send(text).text, ok) << size;
        expected += text;
    }
    EXPECT_TRUE(read_file(log) == expected);
}

TEST_F(Exports, LengthPastTheBlocksEndReadsOnlyTheBlock) {
    long length = 1 << 20;
    void* block = request(host_block(execute), &length);
    const reply r = take_reply(block, length);
    EXPECT_EQ(r.text, no_content);
    EXPECT_EQ(load(host_block("data"), 1 << 20), 1);
    // What lies beyond the block may be readable on some heaps, but never a byte of it past
    // what the platform says the block holds; the logged text starts with the block's bytes.
    const std::string logged = read_file(log);
    ASSERT_GE(logged.size(), execute.size());
    EXPECT_EQ(logged.compare(0, execute.size(), execute), 0);
    EXPECT_NE(logged.find("load() data"), std::string::npos);
}

// An allocator that fails at one chosen call, to run the module out of memory.
int allocations_before_failure = -1;
int failures_wanted = 0;
void* failing_alloc(std::size_t n) {
    if (allocations_before_failure == 0 && failures_wanted > 0) {
        --failures_wanted;
        return nullptr;
    }
    if (allocations_before_failure > 0) {
        --allocations_before_failure;
    }
    return pilro::prim::block_alloc(n);
}

reply send_short_of_memory(const std::string& text, int succeed_first, int then_fail) {
    allocations_before_failure = succeed_first;
    failures_wanted = then_fail;
    long length = static_cast<long>(text.size());
    void* block = pilro::handle_request(host_block(text), &length, failing_alloc);
    return take_reply(block, length);
}

TEST_F(Exports, OutOfMemoryKeepsTheEntryAndGivesASafeReply) {
    // No private copy (only large requests take one from the heap): the host's block serves,
    // and the exchange completes.
    const std::string large =
        "GET Version SAORI/1.0\r\nSender: " + std::string(8000, 'x') + "\r\n\r\n";
    EXPECT_EQ(send_short_of_memory(large, 0, 1).text, ok);
    // No reply block: a null reply with length 0, never a length without a block.
    const reply none = send_short_of_memory(execute, 0, 1);
    EXPECT_TRUE(none.null_block);
    EXPECT_EQ(none.length, 0);
    const reply nothing = send_short_of_memory(large, 0, 2);
    EXPECT_TRUE(nothing.null_block);
    EXPECT_EQ(nothing.length, 0);
    EXPECT_EQ(read_file(log), large + execute + large);
}

std::string thread_request(int thread, int i) {
    return "EXECUTE SAORI/1.0\r\nSender: thread" + std::to_string(thread) +
           "\r\nArgument0: " + std::to_string(i) + "\r\n\r\n";
}

// Many threads, so that a thread can keep losing the race for the log to its siblings: under
// Wine thirty-two threads that do not take turns lose dozens of these entries, four lose none.
// Meanwhile another program holds the log now and then, for a quarter of the patience, so
// that the line of waiters lasts long on any machine, however fast its turns. A waiter that
// left the line without its turn lost hundreds, most of them to the log held: whether it took
// its busy siblings for a thread stopped inside the module, or gave up after waiting long in
// all. On a busy machine the other program is itself kept from running now and then, and a
// hold lasts longer than it meant: each hold past the patience may cost the entries that
// waited it out, one per patience, and nothing else may.
TEST_F(Exports, ConcurrentCallersLoseAndSplitNoEntry) {
    constexpr int threads = 128;
    constexpr int per_thread = 32;
    constexpr int entries_between_holds = 32;
    constexpr std::chrono::milliseconds hold(10);
    constexpr std::chrono::milliseconds patience(40);
    std::atomic<int> sent{0};
    void* probe = pilro::test::hold_exclusively(log);
    const bool holdable = probe != nullptr;  // POSIX has no exclusive opens, and no turns
    pilro::test::release(probe);
    std::vector<std::chrono::steady_clock::duration> holds;
    std::thread other_program([&] {
        for (int next = entries_between_holds; holdable && next < threads * per_thread;
             next = sent + entries_between_holds) {
            while (sent < next) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            // Each hold as long as the module may have seen it: from before the try that got
            // the file to after it was let go.
            void* held = nullptr;
            auto held_since = std::chrono::steady_clock::now();
            while ((held = pilro::test::hold_exclusively(log)) == nullptr) {
                std::this_thread::yield();
                held_since = std::chrono::steady_clock::now();
            }
            std::this_thread::sleep_for(hold);
            pilro::test::release(held);
            holds.push_back(std::chrono::steady_clock::now() - held_since);
        }
    });
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([t, &sent] {
            for (int i = 0; i < per_thread; ++i) {
                EXPECT_EQ(send(thread_request(t, i)).text, no_content);
                ++sent;
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    other_program.join();
    const std::string logged = read_file(log);
    std::set<std::string> entries;
    std::size_t logged_entries = 0;
    for (std::size_t at = 0; at < logged.size(); ++logged_entries) {
        const std::size_t end = logged.find("\r\n\r\n", at);
        ASSERT_NE(end, std::string::npos) << "torn entry at byte " << at;
        entries.insert(logged.substr(at, end + 4 - at));
        at = end + 4;
    }
    std::size_t bytes = 0;
    int lost = 0;
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < per_thread; ++i) {
            const bool found = entries.count(thread_request(t, i)) == 1;
            lost += found ? 0 : 1;
            bytes += found ? thread_request(t, i).size() : 0;
        }
    }
    // Entries given up wait out the patience one after the other, each inside one hold.
    long long explained = 0;
    auto longest = std::chrono::steady_clock::duration::zero();
    for (const auto& h : holds) {
        explained += h / patience;
        longest = std::max(longest, h);
    }
    EXPECT_LE(lost, explained)
        << "of " << threads * per_thread << " entries; the log was held " << holds.size()
        << " times, for up to "
        << std::chrono::duration_cast<std::chrono::milliseconds>(longest).count() << " ms";
    EXPECT_EQ(logged.size(), bytes) << "entries written twice, or not by the callers";
    EXPECT_EQ(logged_entries, entries.size()) << "entries written twice";
}

// Another program may hold the log so that nobody else can write it. The module waits for
// it about 40 ms of that hold per entry: an entry that finds it held for less is written once
// it is free; one that finds it held for far longer is dropped, and the call returns. (On a
// busy machine both can stretch: the hold lasts as long as this program is kept from letting
// go, and the module's wait counts only the hold it sees while it runs.)
TEST_F(Exports, FileHeldCostsAnEntryOnlyPastThePatience) {
    using std::chrono::steady_clock;
    // Holds the log for how_long while text is sent, and never past the call's return.
    // Returns whether the entry was written, and how long the log was held: from before it
    // was taken to after it was let go.
    const auto held_for = [this](steady_clock::duration how_long, const std::string& text) {
        const auto since = steady_clock::now();
        void* held = pilro::test::hold_exclusively(log);
        std::atomic<bool> returned{false};
        steady_clock::duration lasted{};
        std::thread releaser([&] {
            while (!returned && steady_clock::now() - since < how_long) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            pilro::test::release(held);
            lasted = steady_clock::now() - since;
        });
        EXPECT_EQ(send(text).text, no_content);
        returned = true;
        releaser.join();
        return std::make_pair(read_file(log).find(text) != std::string::npos, lasted);
    };
    void* probe = pilro::test::hold_exclusively(log);
    if (probe == nullptr) {
        GTEST_SKIP() << "POSIX has no exclusive opens: nobody can keep the module from its log";
    }
    pilro::test::release(probe);

    const auto [written, lasted] = held_for(std::chrono::milliseconds(25), execute);
    EXPECT_TRUE(written || lasted >= std::chrono::milliseconds(40))
        << "an entry was lost to a file held for "
        << std::chrono::duration_cast<std::chrono::milliseconds>(lasted).count() << " ms";
    // Minutes: only a module that waits for ever comes near them.
    const std::string late = "EXECUTE SAORI/1.0\r\nSender: late\r\n\r\n";
    EXPECT_FALSE(held_for(std::chrono::minutes(10), late).first)
        << "an entry waited minutes for the file";
    EXPECT_EQ(read_file(log), written ? execute : "");
}

TEST_F(Exports, LogTroubleChangesNoResult) {
    // A read-only log file.
    ASSERT_TRUE(pilro::test::write_file(log, "kept\r\n\r\n"));
    ASSERT_TRUE(pilro::test::make_read_only(log));
    EXPECT_EQ(load(host_block("x"), 1), 1);
    EXPECT_EQ(send(get_version).text, ok);
    EXPECT_EQ(unload(), 1);
    EXPECT_EQ(read_file(log).compare(0, 8, "kept\r\n\r\n"), 0);

    // A directory where the log should be.
    const std::string taken = directory + pilro::test::separator + "taken";
    ASSERT_TRUE(pilro::test::make_directory(taken));
    pilro::set_log_file(taken);
    EXPECT_EQ(send(execute).text, no_content);
    EXPECT_EQ(load(host_block("x"), 1), 1);
    EXPECT_EQ(unload(), 1);

    // A full disk.
    const std::string full = pilro::test::full_device();
    if (!full.empty()) {
        pilro::set_log_file(full);
        EXPECT_EQ(send(execute).text, no_content);
        EXPECT_EQ(load(host_block("x"), 1), 1);
        EXPECT_EQ(unload(), 1);
    }

    // A directory that does not exist.
    pilro::set_log_file(directory + pilro::test::separator + "missing" + pilro::test::separator +
                        "pilro.txt");
    EXPECT_EQ(send(execute).text, no_content);
}

}  // namespace
