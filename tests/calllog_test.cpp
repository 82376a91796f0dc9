// Where the log goes and how an entry is appended.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "calllog/calllog.h"
#include "prim/prim.h"
#include "prim/turns.h"
#include "test_os.h"

namespace {

using pilro::log_path_beside;

// Shift_JIS (code page 932): lead bytes 0x81-0x9F and 0xE0-0xFC.
bool shift_jis_lead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
bool no_lead(unsigned char) {
    return false;
}

// "表" and "ソ" in Shift_JIS: both end in 0x5C, the code of the backslash.
const std::string hyo = "\x95\x5C";
const std::string so = "\x83\x5C";

TEST(LogPath, KeepsDriveAndDirectoryAndReplacesTheFileName) {
    EXPECT_EQ(log_path_beside("C:\\Hosts\\agent\\saori\\pilro.dll", no_lead),
              "C:\\Hosts\\agent\\saori\\pilro.txt");
    // The module's own name plays no part.
    EXPECT_EQ(log_path_beside("C:\\x\\renamed.module", no_lead), "C:\\x\\pilro.txt");
    EXPECT_EQ(log_path_beside("\\Hosts\\pilro.dll", no_lead), "\\Hosts\\pilro.txt");
    EXPECT_EQ(log_path_beside("/opt/host/pilro.so", no_lead), "/opt/host/pilro.txt");
}

TEST(LogPath, UncShareKeepsItsLeadingBackslashes) {
    EXPECT_EQ(log_path_beside("\\\\server\\share\\dir\\pilro.dll", no_lead),
              "\\\\server\\share\\dir\\pilro.txt");
}

TEST(LogPath, WithoutSeparatorIsRelativeToTheDriveOrTheCurrentDirectory) {
    EXPECT_EQ(log_path_beside("C:pilro.dll", no_lead), "C:pilro.txt");
    EXPECT_EQ(log_path_beside("pilro.dll", no_lead), "pilro.txt");
    EXPECT_EQ(log_path_beside("", no_lead), "pilro.txt");
}

TEST(LogPath, MixedSeparatorsEndTheDirectoryAtTheLastOfEither) {
    EXPECT_EQ(log_path_beside("C:/a\\b/c\\pilro.dll", no_lead), "C:/a\\b/c\\pilro.txt");
    EXPECT_EQ(log_path_beside("C:\\a/b\\c/pilro.dll", no_lead), "C:\\a/b\\c/pilro.txt");
}

TEST(LogPath, BackslashIsAFileNameByteWhereItDoesNotSeparate) {
    EXPECT_EQ(log_path_beside("/opt/a\\b/pi\\lro.so", no_lead, false), "/opt/a\\b/pilro.txt");
}

TEST(LogPath, DoubleByteTrailBackslashNeitherSplitsNorShortens) {
    // In the directory...
    EXPECT_EQ(log_path_beside("C:\\" + hyo + so + "\\pilro.dll", shift_jis_lead),
              "C:\\" + hyo + so + "\\pilro.txt");
    // ...in the file name, where a split would move the log into a made-up directory...
    EXPECT_EQ(log_path_beside("C:\\dir\\" + hyo + ".dll", shift_jis_lead), "C:\\dir\\pilro.txt");
    // ...and right after the drive.
    EXPECT_EQ(log_path_beside("C:" + so + "x.dll", shift_jis_lead), "C:pilro.txt");
    // Without the lead-byte rule the same bytes would split there.
    EXPECT_EQ(log_path_beside("C:\\dir\\" + hyo + ".dll", no_lead),
              "C:\\dir\\" + hyo + "pilro.txt");
}

// A directory may take 255 bytes after the drive. A longer one would have to be cut, which
// always drops its final separator and so would move the log elsewhere: it gets no log.
TEST(LogPath, DirectoryOfUpTo255BytesKeepsTheLogBesideTheModule) {
    const std::string longest = "\\" + std::string(253, 'd') + "\\";
    ASSERT_EQ(longest.size(), 255u);
    EXPECT_EQ(log_path_beside("C:" + longest + "m.dll", no_lead), "C:" + longest + "pilro.txt");
    EXPECT_EQ(log_path_beside("C:" + longest.substr(1) + "\\m.dll", no_lead),
              "C:" + longest.substr(1) + "\\pilro.txt");

    const std::string too_long = "\\" + std::string(254, 'd') + "\\";
    EXPECT_EQ(log_path_beside("C:" + too_long + "m.dll", no_lead), "");
    EXPECT_EQ(log_path_beside(too_long + "m.dll", no_lead), "");
}

TEST(LogPath, DoubleByteCharacterAtTheDirectoryLimitCountsBothBytes) {
    // The character's trail byte is the 255th byte: the directory fits exactly.
    const std::string fits = "\\" + std::string(251, 'd') + hyo + "\\";
    ASSERT_EQ(fits.size(), 255u);
    EXPECT_EQ(log_path_beside("C:" + fits + so + ".dll", shift_jis_lead),
              "C:" + fits + "pilro.txt");
    // Its lead byte is the 255th: no cut may split it, and none may drop the separator.
    const std::string over = "\\" + std::string(253, 'd') + hyo + "\\";
    EXPECT_EQ(log_path_beside("C:" + over + "m.dll", shift_jis_lead), "");
}

// The module's own path is read into a buffer of fixed size. A path that does not fit with
// its NUL comes back as no path at all, never cut short: a shortened path names another
// directory. (Asked for this program's own file, which holds the same code.)
TEST(ModuleFilePath, FitsWithItsNulOrNotAtAll) {
    char whole[4096];
    const std::size_t n = pilro::prim::module_file_path(nullptr, whole, sizeof whole);
    ASSERT_GT(n, 0u);
    std::vector<char> just_enough(n + 1, 'x');
    EXPECT_EQ(pilro::prim::module_file_path(nullptr, just_enough.data(), just_enough.size()), n);
    EXPECT_EQ(std::string(just_enough.data()), std::string(whole, n));
    std::vector<char> one_short(n, 'x');
    EXPECT_EQ(pilro::prim::module_file_path(nullptr, one_short.data(), one_short.size()), 0u);
    EXPECT_EQ(one_short[0], '\0');
}

class WriteLog : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = pilro::test::fresh_directory(
            std::string("write_log_") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        file = directory + pilro::test::separator + "pilro.txt";
        ASSERT_TRUE(pilro::set_log_file(file));
    }
    void TearDown() override { pilro::set_log_file({}); }
    std::string directory;
    std::string file;
};

TEST_F(WriteLog, CreatesTheFileAndAppendsEveryEntryInOrder) {
    pilro::write_log("first\r\n\r\n");
    EXPECT_EQ(pilro::test::read_file(file), "first\r\n\r\n");
    pilro::write_log(std::string("second"));
    pilro::write_log("\x95\x5C\xff bytes as they are");
    EXPECT_EQ(pilro::test::read_file(file), "first\r\n\r\nsecond\x95\x5C\xff bytes as they are");
}

TEST_F(WriteLog, KeepsWhatEarlierRunsWrote) {
    ASSERT_TRUE(pilro::test::write_file(file, "earlier run\r\n\r\n"));
    pilro::write_log("later");
    EXPECT_EQ(pilro::test::read_file(file), "earlier run\r\n\r\nlater");
}

TEST_F(WriteLog, StopsAtTheFirstNul) {
    pilro::write_log(std::string("kept\0dropped", 12));
    pilro::write_log("also kept\0dropped");
    EXPECT_EQ(pilro::test::read_file(file), "keptalso kept");
}

TEST_F(WriteLog, EmptyTextCreatesTheFileAndWritesNothing) {
    pilro::write_log("");
    ASSERT_TRUE(pilro::test::file_exists(file));
    EXPECT_EQ(pilro::test::read_file(file), "");
    pilro::write_log(std::string());
    EXPECT_EQ(pilro::test::read_file(file), "");
}

TEST_F(WriteLog, WritesNothingWithoutAPathThatFits) {
    // Opening the empty path, or a relative one, would find the current directory: an empty
    // one of this test's own shows anything written anywhere near.
    const std::string previous = pilro::test::current_directory();
    ASSERT_TRUE(pilro::test::change_directory(directory));
    pilro::set_log_file({});
    pilro::write_log("lost");
    // A path that fits only without its NUL is no path.
    EXPECT_FALSE(pilro::set_log_file(std::string(pilro::log_path_capacity, 'x')));
    pilro::write_log("lost");
    pilro::test::change_directory(previous);
    EXPECT_EQ(pilro::test::directory_entries(directory), std::vector<std::string>());
    EXPECT_TRUE(pilro::set_log_file(std::string(pilro::log_path_capacity - 1, 'x')));
}

// ---- Waits for the log, in a system made up by the test: its threads, clock and answers.

TEST(LogTurns, AWriterKeptFromRunningSpendsNoPatienceMeanwhile) {
    pilro::prim::patience wait(40, 1, 8);
    wait.held_since(0);
    wait.trying_at(500);  // descheduled for half a second: a millisecond of it counts
    for (int now = 501; now < 539; ++now) {
        wait.trying_at(now);
    }
    EXPECT_FALSE(wait.spent());
    wait.trying_at(539);
    EXPECT_TRUE(wait.spent());
    // Each try slow: the patience lasts its tries all the same.
    pilro::prim::patience slow(40, 1, 64);
    slow.held_since(0);
    for (int tries = 1; tries <= 64; ++tries) {
        EXPECT_FALSE(slow.spent()) << tries;
        slow.trying_at(tries * 1000);
    }
    EXPECT_TRUE(slow.spent());
}

struct made_up_system {
    static inline std::atomic<std::uint32_t> clock{1000};
    static inline std::atomic<unsigned> looks{0};
    static inline std::atomic<std::uint32_t> threads{0};
    // Whether a thread has stopped, as the test has the system answer.
    static inline std::function<bool(std::uint32_t)> answer;

    static std::uint32_t thread_id() noexcept {
        thread_local const std::uint32_t id = ++threads;
        return id;
    }
    static bool thread_stopped(std::uint32_t id) noexcept { return answer(id); }
    static std::uint32_t milliseconds() noexcept { return clock; }
    static void pause(unsigned) noexcept {
        ++looks;
        std::this_thread::yield();
    }
};
using made_up_turns = pilro::prim::turns<made_up_system>;

// Lets the waiters look n times, or fewer if done comes first.
void look_on(unsigned n, const std::atomic<bool>& done) {
    for (const unsigned until = made_up_system::looks + n;
         !done && made_up_system::looks < until;) {
        std::this_thread::yield();
    }
}

TEST(LogTurns, AHolderThatGoesOnKeepsItsTurnHoweverSlow) {
    made_up_turns turns;
    made_up_system::answer = [](std::uint32_t) { return false; };
    bool taken_over = true;
    made_up_turns::turn held = turns.take(taken_over);
    EXPECT_FALSE(taken_over);
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        turns.give_back(turns.take(taken_over));
        done = true;
    });
    // Far past any patience, but with a sign of life before each bound.
    for (int sign = 0; sign < 3; ++sign) {
        made_up_system::clock += made_up_turns::stuck_ms - 1;
        look_on(4 * made_up_turns::stuck_looks, done);
        turns.renew(held);
    }
    EXPECT_FALSE(done) << "a live holder lost its turn";
    turns.give_back(held);
    waiter.join();
    EXPECT_FALSE(taken_over);

    // Without one past the bound, the turn goes.
    held = turns.take(taken_over);
    done = false;
    std::thread late([&] {
        turns.give_back(turns.take(taken_over));
        done = true;
    });
    look_on(1, done);
    made_up_system::clock += made_up_turns::stuck_ms;
    look_on(64 * made_up_turns::stuck_looks, done);
    EXPECT_TRUE(done) << "a holder that shows no sign of life keeps its turn for ever";
    turns.give_back(held);
    late.join();
    EXPECT_TRUE(taken_over);
}

// The first waiter to ask is itself stopped while it asks: the next one asks on its own, and
// one of the two takes the turn, not both.
TEST(LogTurns, OneWaiterTakesTheTurnOfAHolderThatCannotGoOn) {
    made_up_turns turns;
    bool taken_over = false;
    turns.take(taken_over);  // and never given back
    const std::uint32_t stopped = made_up_system::thread_id();
    std::atomic<int> asked{0};
    std::atomic<bool> asker_goes_on{false};
    made_up_system::answer = [&](std::uint32_t id) {
        if (asked++ == 0) {
            while (!asker_goes_on) {
                std::this_thread::yield();
            }
        }
        return id == stopped;
    };
    std::atomic<int> taken{0};
    std::atomic<bool> second_done{false};
    const auto waiter = [&](std::atomic<bool>* done) {
        bool over = false;
        const made_up_turns::turn mine = turns.take(over);
        taken += over ? 1 : 0;
        turns.give_back(mine);
        if (done != nullptr) {
            *done = true;
        }
    };
    std::thread first(waiter, nullptr);
    while (asked == 0) {
        std::this_thread::yield();
    }
    made_up_system::clock += made_up_turns::check_spacing_ms;
    std::thread second(waiter, &second_done);
    look_on(64 * made_up_turns::looks_before_checks, second_done);
    EXPECT_TRUE(second_done) << "a waiter stopped while it asked held the others up";
    asker_goes_on = true;
    second.join();
    first.join();
    EXPECT_EQ(taken, 1);
}

}  // namespace
