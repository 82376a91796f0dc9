// The real module file, loaded and released through the platform's loader, as a host does.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "calllog/calllog.h"
#include "capture/capture_log.h"
#include "module/exports.h"
#include "module/lifecycle.h"
#include "platform/charset.h"
#include "platform/platform.h"
#include "prim/prim.h"
#include "request/request.h"
#include "test_os.h"

namespace {

using pilro::test::separator;

const std::string attach = "DllMain(Attach)\r\n\r\n";
const std::string detach = "DllMain(Detach)\r\n\r\n";

// Copies the built module into directory under file_name; returns the copy's path.
std::string place_module(const std::string& directory, const std::string& file_name) {
    const std::string path = directory + separator + file_name;
    EXPECT_TRUE(pilro::test::copy_file(pilro::test::built_module(), path)) << path;
    return path;
}

void load_and_release(const std::string& module) {
    std::string error;
    void* library = pilro::platform::library_open(module.c_str(), error);
    ASSERT_NE(library, nullptr) << module << ": " << error;
    pilro::platform::library_close(library);
}

// A module file loaded as a host loads it, with its three exports; released when it goes.
struct loaded {
    explicit loaded(const std::string& path) {
        std::string error;
        library =
            pilro::platform::library_open(pilro::platform::library_file_path(path).c_str(), error);
        EXPECT_NE(library, nullptr) << path << ": " << error;
        const auto find = [this](const char* name) {
            return library != nullptr ? pilro::platform::library_symbol(library, name) : nullptr;
        };
        load = reinterpret_cast<pilro::load_function>(find("load"));
        request = reinterpret_cast<pilro::request_function>(find("request"));
        unload = reinterpret_cast<pilro::unload_function>(find("unload"));
    }
    ~loaded() {
        if (library != nullptr) {
            pilro::platform::library_close(library);
        }
    }
    loaded(const loaded&) = delete;
    loaded& operator=(const loaded&) = delete;
    bool ok() const { return load != nullptr && request != nullptr && unload != nullptr; }

    void* library = nullptr;
    pilro::load_function load = nullptr;
    pilro::request_function request = nullptr;
    pilro::unload_function unload = nullptr;
};

TEST(ModuleLifetime, LogsAttachAndDetachBesideItselfAndAppendsAcrossLoads) {
    const std::string directory = pilro::test::fresh_directory("lifetime");
    const std::string module = place_module(directory, "pilro.module");
    const std::string log = directory + separator + "pilro.txt";

    load_and_release(module);
    EXPECT_EQ(pilro::test::read_file(log), attach + detach);
    load_and_release(module);
    EXPECT_EQ(pilro::test::read_file(log), attach + detach + attach + detach);
}

TEST(ModuleLifetime, UnderAnotherNameStillWritesPilroTxt) {
    const std::string directory = pilro::test::fresh_directory("renamed");
    const std::string module = place_module(directory, "other-name.bin");
    load_and_release(module);
    EXPECT_EQ(pilro::test::read_file(directory + separator + "pilro.txt"), attach + detach);
    EXPECT_FALSE(pilro::test::file_exists(directory + separator + "other-name.txt"));
}

TEST(ModuleLifetime, TwoCopiesInTwoDirectoriesKeepTwoLogs) {
    const std::string first = pilro::test::fresh_directory("copy_one");
    const std::string second = pilro::test::fresh_directory("copy_two");
    std::string error;
    void* one = pilro::platform::library_open(place_module(first, "a.module").c_str(), error);
    void* two = pilro::platform::library_open(place_module(second, "b.module").c_str(), error);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    pilro::platform::library_close(one);
    EXPECT_EQ(pilro::test::read_file(first + separator + "pilro.txt"), attach + detach);
    EXPECT_EQ(pilro::test::read_file(second + separator + "pilro.txt"), attach);
    pilro::platform::library_close(two);
    EXPECT_EQ(pilro::test::read_file(second + separator + "pilro.txt"), attach + detach);
}

// A module whose path is too long for the log to be placed beside it writes no log at all;
// in particular not one directory up, where a shortened path would point.
TEST(ModuleLifetime, TooLongAPathLeavesNoLogAnywhere) {
    const std::string root = pilro::test::fresh_directory("long");
    std::string directory = root;
    std::vector<std::string> levels;
    while (directory.size() < 300) {
        directory += separator + std::string(40, 'd');
        if (!pilro::test::make_directory(directory)) {
            GTEST_SKIP() << "the platform makes no directory paths of " << directory.size()
                         << " bytes";
        }
        levels.push_back(directory);
    }
    // The host's current directory, where a module without its own path would find
    // "pilro.txt" if it took the empty directory for its own.
    const std::string previous = pilro::test::current_directory();
    ASSERT_TRUE(pilro::test::change_directory(root));
    std::string error;
    void* library =
        pilro::platform::library_open(place_module(directory, "pilro.dll").c_str(), error);
    if (library != nullptr) {
        pilro::platform::library_close(library);
    }
    pilro::test::change_directory(previous);
    if (library == nullptr) {
        GTEST_SKIP() << "the platform does not load modules from a path this long: " << error;
    }
    EXPECT_FALSE(pilro::test::file_exists(root + separator + "pilro.txt"));
    for (const std::string& level : levels) {
        EXPECT_FALSE(pilro::test::file_exists(level + separator + "pilro.txt")) << level;
        // A directory cut short would name the log after a prefix of its last directory.
        EXPECT_FALSE(pilro::test::file_exists(level + "pilro.txt")) << level;
    }
}

// The same for a module whose path the platform cannot tell at all, asked here through the
// attach of this program's own copy of the code.
TEST(ModuleLifetime, WithoutItsOwnPathWritesNoLogInTheCurrentDirectory) {
    if (separator != '\\') {
        GTEST_SKIP() << "POSIX finds the path of any code it runs; a path too long to be had "
                        "is TooLongAPathLeavesNoLogAnywhere";
    }
    const std::string current = pilro::test::fresh_directory("no_path");
    const std::string previous = pilro::test::current_directory();
    ASSERT_TRUE(pilro::test::change_directory(current));
    pilro::set_log_file({});
    // A handle that names no loaded module.
    int not_a_module = 0;
    pilro::on_process_attach(&not_a_module);
    pilro::write_log("lost\r\n\r\n");
    pilro::test::change_directory(previous);
    EXPECT_EQ(pilro::log_path, std::string());
    EXPECT_EQ(pilro::test::directory_entries(current), std::vector<std::string>());
}

// The host names the module by a relative path and then changes its current directory: the
// log stays beside the module.
TEST(ModuleLifetime, LoadedByARelativePathKeepsItsLogWhenTheHostMoves) {
    const std::string parent = pilro::test::fresh_directory("relative");
    const std::string elsewhere = pilro::test::fresh_directory("relative_elsewhere");
    ASSERT_TRUE(pilro::test::make_directory(parent + separator + "x"));
    place_module(parent + separator + "x", "pilro.dll");
    const std::string previous = pilro::test::current_directory();
    ASSERT_TRUE(pilro::test::change_directory(parent));
    std::string error;
    void* library = pilro::platform::library_open(
        (std::string(".") + separator + "x" + separator + "pilro.dll").c_str(), error);
    ASSERT_TRUE(pilro::test::change_directory(elsewhere));
    const auto unload = library != nullptr ? reinterpret_cast<pilro::unload_function>(
                                                 pilro::platform::library_symbol(library, "unload"))
                                           : nullptr;
    if (unload != nullptr) {
        unload();
    }
    if (library != nullptr) {
        pilro::platform::library_close(library);
    }
    pilro::test::change_directory(previous);
    ASSERT_NE(library, nullptr) << error;
    EXPECT_EQ(pilro::test::read_file(parent + separator + "x" + separator + "pilro.txt"),
              attach + "unload()\r\n\r\n" + detach);
    EXPECT_EQ(pilro::test::directory_entries(elsewhere), std::vector<std::string>());
}

// Directory and file names holding Shift_JIS characters whose trail byte is 0x5C. Under a
// Windows code page 932 those bytes are one character each; elsewhere they are plain bytes.
TEST(ModuleLifetime, ShiftJisNamesWithBackslashTrailBytes) {
    const unsigned code_page = pilro::test::ansi_code_page();
    if (std::getenv("PILRO_EXPECT_CP932") != nullptr) {
        ASSERT_EQ(code_page, 932u) << "this run was meant to have code page 932";
    } else if (code_page != 0 && code_page != 932) {
        GTEST_SKIP() << "needs code page 932; the build runs it again with one";
    }
    // "表ソ" for the directory, "能" for the module file.
    const std::string parent = pilro::test::fresh_directory("sjis");
    const std::string directory = parent + separator + "\x95\x5C\x83\x5C";
    ASSERT_TRUE(pilro::test::make_directory(directory));
    const std::string module = place_module(directory, "\x94\x5C.dll");
    load_and_release(module);
    EXPECT_EQ(pilro::test::read_file(directory + separator + "pilro.txt"), attach + detach);
    EXPECT_FALSE(pilro::test::file_exists(parent + separator + "pilro.txt"));
    EXPECT_FALSE(pilro::test::file_exists(directory + separator + "\x94pilro.txt"));
}

using pilro::load_function;
using pilro::request_function;
using pilro::unload_function;
using pilro::test::host_block;

// A whole host session through the loader: the entries land between attach and detach, in
// order, byte for byte, and the replies come back in NUL-terminated blocks of the right size.
TEST(ModuleSession, RepliesAndLogAreExact) {
    const std::string directory = pilro::test::fresh_directory("session");
    auto module = std::make_unique<loaded>(place_module(directory, "pilro.dll"));
    ASSERT_TRUE(module->ok());
    const auto [load, request, unload] = std::tuple(module->load, module->request, module->unload);

    const std::string load_data = directory + separator;
    const std::string version = "GET Version SAORI/1.0\r\nCharset: Shift_JIS\r\nSender: X\r\n\r\n";
    const std::string execute =
        "EXECUTE SAORI/1.0\r\nCharset: UTF-8\r\nSender: X\r\nSecurityLevel: local\r\n"
        "Argument0: \xE8\xA1\xA8\r\nArgument1: \x95\x5C\r\nArgument2: \r\n\r\n";
    const std::string unknown = "NOTIFY SAORI/1.0\r\nSender: X\r\n\r\n";
    struct exchange {
        const std::string& text;
        std::string reply;
    };
    const exchange exchanges[] = {{version, "SAORI/1.0 200 OK\r\n\r\n"},
                                  {execute, "SAORI/1.0 204 No Content\r\n\r\n"},
                                  {unknown, "SAORI/1.0 400 Bad Request\r\n\r\n"}};

    EXPECT_EQ(load(host_block(load_data), static_cast<long>(load_data.size())), 1);
    for (const exchange& e : exchanges) {
        long length = static_cast<long>(e.text.size());
        void* reply = request(host_block(e.text), &length);
        ASSERT_NE(reply, nullptr);
        ASSERT_EQ(length, static_cast<long>(e.reply.size()));
        EXPECT_EQ(std::string(static_cast<const char*>(reply), e.reply.size() + 1),
                  e.reply + std::string(1, '\0'));
        if (separator == '\\') {  // Windows tells a global block's exact size
            EXPECT_EQ(pilro::prim::block_size(reply), e.reply.size() + 1);
        }
        pilro::prim::block_free(reply);
    }
    EXPECT_EQ(unload(), 1);
    module.reset();

    EXPECT_EQ(pilro::test::read_file(directory + separator + "pilro.txt"),
              attach + "load() " + load_data + "\r\n\r\n" + version + execute + unknown +
                  "unload()\r\n\r\n" + detach);
}

TEST(ModuleSession, ExportsAreUndecoratedAndNumberedOneToThree) {
    const std::string directory = pilro::test::fresh_directory("exports");
    std::string error;
    void* library =
        pilro::platform::library_open(place_module(directory, "pilro.dll").c_str(), error);
    ASSERT_NE(library, nullptr) << error;
    const char* const names[] = {"load", "request", "unload"};
    for (unsigned ordinal = 1; ordinal <= 3; ++ordinal) {
        const char* name = names[ordinal - 1];
        void* by_name = pilro::platform::library_symbol(library, name);
        EXPECT_NE(by_name, nullptr) << name;
        if (void* by_ordinal = pilro::platform::library_symbol_by_ordinal(library, ordinal)) {
            EXPECT_EQ(by_ordinal, by_name) << name;
        } else {
            EXPECT_NE(separator, '\\') << "no export with ordinal " << ordinal;
        }
        // Neither the stdcall nor the underscored spelling of the name exists.
        for (const std::string& decorated :
             {"_" + std::string(name), std::string(name) + "@4", std::string(name) + "@8",
              "_" + std::string(name) + "@8"}) {
            EXPECT_EQ(pilro::platform::library_symbol(library, decorated.c_str()), nullptr)
                << decorated;
        }
    }
    EXPECT_EQ(pilro::platform::library_symbol_by_ordinal(library, 4), nullptr);
    pilro::platform::library_close(library);
}

// A host's life ends with its process, often while its other threads are still inside the
// module: Windows stops them wherever they are before the detach, POSIX runs the static
// destructors while they go on. The process must end all the same, and whatever is written
// then goes beside the module or nowhere.
using pilro::test::process_result;

const bool on_windows = separator == '\\';

long long milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// The test's child program with args.
std::vector<std::string> child(const std::vector<std::string>& args) {
    std::vector<std::string> argv{pilro::test::stress_child()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// How long a host is given to end. One that hangs never ends, however long it is given; one
// that is only slow (a busy machine, ThreadSanitizer, an emulator) ends within some multiple
// of what a plain host of the same work takes there and then. So a plain host is timed first:
// the same program writing a request of the same size, without the module and the threads that
// make the ending hard. Every host is then given twenty times that, never less than 15 s, and
// at least five times the slowest one that ended.
class ending_limit {
  public:
    ending_limit(const std::string& directory, const std::string& size) {
        // Twice, and the faster counts: the first program after a while may meet costs of its
        // own (under Wine its services starting, minutes long under emulation on a busy
        // machine), which the hosts after it do not pay again.
        for (int i = 0; i < 2; ++i) {
            const auto started = std::chrono::steady_clock::now();
            // Nothing in it can hang: only a machine that has stopped takes this long.
            const process_result run = pilro::test::run_process(
                child({"--bare", directory + separator + "bare.txt", size}), std::string(),
                600 * 1000);
            const long long took = milliseconds_since(started);
            plain_ms_ = i == 0 ? took : std::min(plain_ms_, took);
            EXPECT_FALSE(run.timed_out) << "a plain host did not end within ten minutes";
            EXPECT_EQ(run.exit_code, 0) << "a plain host failed: " << run.err;
        }
    }
    int ms() const {
        return static_cast<int>(std::max({15000LL, 20 * plain_ms_, 5 * slowest_ms_}));
    }
    void ended(long long took_ms) { slowest_ms_ = std::max(slowest_ms_, took_ms); }
    std::string said() const {
        return std::to_string(ms() / 1000) + " s (a plain host took " + std::to_string(plain_ms_) +
               " ms)";
    }

  private:
    long long plain_ms_ = 0;
    long long slowest_ms_ = 0;
};

std::string execute_of_size(std::size_t size, const std::string& sender = "X") {
    std::string text = "EXECUTE SAORI/1.0\r\nSender: " + sender + "\r\nArgument0: ";
    return text.append(size - text.size() - 4, 'x') + "\r\n\r\n";
}

// pilro, and the stub with a capture that answers the host's requests with replies as large.
TEST(ProcessEnd, HostEndingWhileItsThreadsAreInsideEndsAndLogsOnlyBesideTheModule) {
    // The faults show in most tries under Wine, where every process start costs a lot, and in
    // a few percent of them natively. ThreadSanitizer sees them in every try, and starts each
    // process slowly: its run asks for fewer.
    const char* asked = std::getenv("PILRO_ENDING_TRIES");
    const int tries = asked != nullptr ? std::atoi(asked) : on_windows ? 8 : 200;
    std::string capture = attach;
    for (const std::size_t size : {std::size_t{64}, std::size_t{64} << 10}) {
        capture += execute_of_size(size, "busy");
        capture += "reply(" + std::to_string(capture.size()) + ") 1 us, length " +
                   std::to_string(size) + ", " + std::to_string(size) + " bytes\r\n" +
                   std::string(size, 'r') + "\r\n\r\n";
    }
    const struct {
        const char* directory;
        std::string module;
        std::string name;
        std::string log;
    } modules[] = {{"ending", pilro::test::built_module(), "pilro.dll", "pilro.txt"},
                   {"ending_stub", pilro::test::built_stub(), "foo.dll", "foo.pilro.txt"}};
    for (const auto& m : modules) {
        const std::string directory = pilro::test::fresh_directory(m.directory);
        const std::string module = directory + separator + m.name;
        ASSERT_TRUE(pilro::test::copy_file(m.module, module));
        std::vector<std::string> beside_the_module{m.name, m.log};
        if (m.log != "pilro.txt") {
            ASSERT_TRUE(
                pilro::test::write_file(directory + separator + "foo.capture.txt", capture));
            beside_the_module.insert(beside_the_module.begin(), "foo.capture.txt");
        }
        const std::string current = pilro::test::fresh_directory("ending_current");
        ending_limit limit(directory, "65536");
        int failed = 0;
        int stray = 0;
        for (int i = 0; i < tries; ++i) {
            const auto started = std::chrono::steady_clock::now();
            const process_result run = pilro::test::run_process(
                child({"--end-busy", module, current, "5"}), std::string(), limit.ms());
            if (run.timed_out) {
                ADD_FAILURE() << m.name << ": a host did not end within " << limit.said()
                              << ", in try " << i + 1 << " of " << tries;
                break;
            }
            limit.ended(milliseconds_since(started));
            failed += run.exit_code != 0 ? 1 : 0;
            if (!pilro::test::directory_entries(current).empty() ||
                pilro::test::directory_entries(directory) != beside_the_module) {
                ++stray;
                pilro::test::fresh_directory("ending_current");
                for (const std::string& name : pilro::test::directory_entries(directory)) {
                    if (std::find(beside_the_module.begin(), beside_the_module.end(), name) ==
                        beside_the_module.end()) {
                        pilro::test::remove_tree(directory + separator + name);
                    }
                }
            }
            if (!run.err.empty()) {
                ADD_FAILURE() << run.err;
            }
            // Nothing here reads the log, which grows by megabytes a try.
            pilro::files::remove_file(directory + separator + m.log);
        }
        EXPECT_EQ(failed, 0) << m.name << ": hosts that ended with a failure, of " << tries;
        EXPECT_EQ(stray, 0) << m.name << ": tries that left files outside the module's log, of "
                            << tries;
    }
}

TEST(ProcessEnd, ThreadStoppedInsideTheModuleHoldsNothingUpForLong) {
    const struct {
        const char* case_name;
        const char* size;
        // Whether every entry but the stopped thread's own must still be written.
        bool all_others_logged;
    } cases[] = {
        // Stopped while it waits for the log, which the host holds for a moment.
        {"stopped_waiting", "64", true},
        // Stopped with the log open, its large entry half written: the entries that come
        // after it may be lost, but must not wait for it.
        {"stopped_writing", "67108864", false},
    };
    for (const auto& c : cases) {
        const std::string directory = pilro::test::fresh_directory(c.case_name);
        const std::string module = place_module(directory, "pilro.dll");
        const ending_limit limit(directory, c.size);
        const auto started = std::chrono::steady_clock::now();
        const process_result run = pilro::test::run_process(
            child({"--frozen-holder", module, directory, c.size}), std::string(), limit.ms());
        const long long took = milliseconds_since(started);
        ASSERT_FALSE(run.timed_out)
            << c.case_name << ": the host did not end within " << limit.said();
        EXPECT_EQ(run.exit_code, 0) << c.case_name << ": " << run.err;
        const std::string log = pilro::test::read_file(directory + separator + "pilro.txt");
        const bool detached = log.size() >= detach.size() &&
                              log.compare(log.size() - detach.size(), detach.size(), detach) == 0;
        std::cout << c.case_name << ": the request after the stop took "
                  << run.out.substr(0, run.out.find_first_of("\r\n")) << " ms, the host ended "
                  << took << " ms after it started, " << (detached ? "with" : "without")
                  << " the detach entry\n";
        if (c.all_others_logged) {
            EXPECT_NE(log.find("Sender: after\r\n"), std::string::npos) << c.case_name;
            EXPECT_TRUE(detached) << c.case_name;
        }
    }
}

// ---- The relay in front of a real module (the echo module, which replies with the request)

namespace capture = pilro::capture;

// Copies the relay into directory as name, and the module file real beside it as real_name
// (unless real is empty); returns the relay's path.
std::string place_relay(const std::string& directory, const std::string& name,
                        const std::string& real_name, const std::string& real) {
    const std::string path = directory + separator + name;
    EXPECT_TRUE(pilro::test::copy_file(pilro::test::built_relay(), path)) << path;
    if (!real.empty()) {
        EXPECT_TRUE(pilro::test::copy_file(real, directory + separator + real_name));
    }
    return path;
}

// What a host got back: the block's first length bytes (as far as the block goes: what a host
// may read) and whether a NUL follows them there, or no block. Without a length pointer the
// length stays the request's size.
struct answer {
    bool block;
    long length;
    std::string bytes;
    bool nul_after;
};

answer send(pilro::request_function request, const std::string& text, bool with_length = true) {
    long length = static_cast<long>(text.size());
    void* reply = request(host_block(text), with_length ? &length : nullptr);
    answer got{reply != nullptr, length, std::string(), false};
    if (reply != nullptr) {
        const std::size_t room = pilro::prim::block_size(reply);
        const std::size_t n = std::min(static_cast<std::size_t>(length < 0 ? 0 : length), room);
        got.bytes.assign(static_cast<const char*>(reply), n);
        got.nul_after = n < room && static_cast<const char*>(reply)[n] == '\0';
        pilro::prim::block_free(reply);
    }
    return got;
}

std::string kinds(const std::string& log) {
    std::string listed;
    for (const capture::entry& e : capture::split_entries(log)) {
        listed += std::string(listed.empty() ? "" : " ") + capture::kind_name(e.kind);
    }
    return listed;
}

// The bytes of the request entry that each reply entry answers, with the reply's bytes.
std::vector<std::pair<std::string, std::string>> paired(const std::string& log) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const capture::run& run : capture::split_runs(log)) {
        for (const capture::entry& e : run.entries) {
            if (e.kind == capture::entry_kind::reply) {
                const capture::reply r = capture::read_reply(log, e);
                pairs.emplace_back(
                    e.request == capture::no_request
                        ? "(none)"
                        : std::string(capture::entry_bytes(log, run.entries[e.request])),
                    r.block ? std::string(r.bytes) : "(no block)");
            }
        }
    }
    return pairs;
}

const std::string get_version = "GET Version SAORI/1.0\r\nSender: X\r\n\r\n";

TEST(Relay, RelaysExactlyBothWaysAndLogsEachReplyAfterItsRequest) {
    const std::string directory = pilro::test::fresh_directory("relay_session");
    auto relay = std::make_unique<loaded>(
        place_relay(directory, "foo.dll", "foo.orig.dll", PILRO_TEST_ECHO_MODULE));
    ASSERT_TRUE(relay->ok());
    // Before the load pilro answers; a refusal to load comes back as it is.
    EXPECT_EQ(send(relay->request, get_version).bytes, "SAORI/1.0 200 OK\r\n\r\n");
    EXPECT_EQ(relay->load(host_block("refuse"), 6), 0);
    void* probe = host_block("size?");
    const std::string host_block_size = std::to_string(pilro::prim::block_size(probe));
    pilro::prim::block_free(probe);
    std::vector<std::string> texts{"x", std::string("ab\0cd", 5), "size?"};
    for (const std::size_t size : {4095, 4096, 4097, 1 << 20}) {
        texts.push_back(execute_of_size(size));
    }
    std::vector<std::pair<std::string, std::string>> expected;
    for (const std::string& text : texts) {
        const answer got = send(relay->request, text);
        const std::string reply = text == "size?" ? host_block_size : text;
        EXPECT_EQ(got.length, static_cast<long>(reply.size())) << text.size();
        EXPECT_TRUE(got.bytes == reply) << text.size();
        expected.emplace_back(text.substr(0, text.find('\0')), reply.substr(0, reply.find('\0')));
    }
    // A null reply keeps the length the module set; a length past the block reaches the host
    // as it is and the log holds only the block.
    const answer null = send(relay->request, "null");
    EXPECT_TRUE(!null.block && null.length == 4);
    expected.emplace_back("null", "(no block)");
    const answer past = send(relay->request, "past");
    EXPECT_EQ(past.length, 1000004);
    expected.emplace_back("past", past.bytes.substr(0, past.bytes.find('\0')));
    // An empty request leaves no entry, so its reply names none; nor does one whose length is
    // negative, and the length the real module left is logged with its sign.
    EXPECT_FALSE(send(relay->request, "").block);
    long negative = -5;
    EXPECT_EQ(relay->request(host_block("null"), &negative), nullptr);
    EXPECT_EQ(negative, -5);
    EXPECT_EQ(relay->unload(), 1);
    EXPECT_EQ(send(relay->request, get_version).bytes, "SAORI/1.0 200 OK\r\n\r\n");
    relay.reset();

    const std::string log = pilro::test::read_file(directory + separator + "foo.pilro.txt");
    std::string relayed;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        relayed += " request reply";
    }
    EXPECT_EQ(kinds(log), "attach request load" + relayed + " reply reply unload request detach");
    expected.emplace_back("(none)", "(no block)");
    expected.emplace_back("(none)", "(no block)");
    EXPECT_EQ(paired(log), expected);
    EXPECT_NE(log.find("\r\n\r\nreply(-) "), std::string::npos);
    EXPECT_NE(log.find(" us, length -5, no block\r\n\r\n"), std::string::npos);
    const std::string start = attach + get_version + "load() refuse\r\n\r\n";
    EXPECT_EQ(log.compare(0, start.size(), start), 0);
    EXPECT_EQ(pilro::test::directory_entries(directory),
              (std::vector<std::string>{"foo.dll", "foo.orig.dll", "foo.pilro.txt"}));
}

// Every reply entry names the end of its own request's entry, however the threads' entries
// interleave.
TEST(Relay, ConcurrentCallersGetTheirOwnRepliesAndTheLogPairsEach) {
    const std::string directory = pilro::test::fresh_directory("relay_threads");
    loaded relay(place_relay(directory, "foo.dll", "foo.orig.dll", PILRO_TEST_ECHO_MODULE));
    ASSERT_TRUE(relay.ok());
    EXPECT_EQ(relay.load(host_block(""), 0), 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&relay, t] {
            for (int i = 0; i < 40; ++i) {
                const std::string text =
                    execute_of_size(100 + static_cast<std::size_t>(i), std::to_string(t));
                EXPECT_EQ(send(relay.request, text).bytes, text);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::string log = pilro::test::read_file(directory + separator + "foo.pilro.txt");
    // And so they do in the log cut at its front, where no offset holds.
    for (const std::string& part : {log, log.substr(log.find("EXECUTE"))}) {
        const auto pairs = paired(part);
        EXPECT_EQ(pairs.size(), 320u);
        for (const auto& [request, reply] : pairs) {
            EXPECT_EQ(request, reply);
        }
    }
    // Unloaded, or the relay keeps its real module loaded, and Windows keeps that file.
    EXPECT_EQ(relay.unload(), 1);
}

// Unloading while a host thread is inside the real module's request leaves the module
// loaded, so that the thread comes back to code that is still there. (The echo module answers
// "wait" only once its unload has been called.)
TEST(Relay, ConcurrentUnloadWhileACallIsInsideTheRealModuleKeepsItLoaded) {
    const std::string directory = pilro::test::fresh_directory("relay_unload");
    loaded relay(place_relay(directory, "foo.dll", "foo.orig.dll", PILRO_TEST_ECHO_MODULE));
    ASSERT_TRUE(relay.ok());
    EXPECT_EQ(relay.load(host_block(""), 0), 1);
    const std::string log = directory + separator + "foo.pilro.txt";
    std::thread inside([&relay] { EXPECT_EQ(send(relay.request, "wait").bytes, "wait"); });
    // The request's entry is written just before the real module is called.
    while (pilro::test::read_file(log).find("wait") == std::string::npos) {
        std::this_thread::yield();
    }
    EXPECT_EQ(relay.unload(), 1);
    inside.join();
    EXPECT_EQ(send(relay.request, get_version).bytes, "SAORI/1.0 200 OK\r\n\r\n");
    // The reply entry has the real module's time: the echo module waits at least 400 ms for
    // "wait".
    for (const capture::run& run : capture::split_runs(pilro::test::read_file(log))) {
        for (const capture::entry& e : run.entries) {
            if (e.kind == capture::entry_kind::reply) {
                EXPECT_GE(capture::read_reply(pilro::test::read_file(log), e).microseconds,
                          300000u);
            }
        }
    }
    // A host that loads it again after the unload is relayed again.
    EXPECT_EQ(relay.load(host_block(""), 0), 1);
    EXPECT_EQ(send(relay.request, "again").bytes, "again");
    EXPECT_EQ(relay.unload(), 1);
    // The relay kept the first load of its real module for good, as it must. No call is inside
    // now: the test lets that go, so that the module's file can be removed on Windows too.
    std::string error;
    void* kept = pilro::platform::library_open(
        pilro::platform::library_file_path(directory + separator + "foo.orig.dll").c_str(), error);
    ASSERT_NE(kept, nullptr) << error;
    pilro::platform::library_close(kept);
    pilro::platform::library_close(kept);
}

// Without its real module the relay is pilro, and a note of one line says why. Once the real
// module is there, the host's next load relays to it.
TEST(Relay, WithoutARealModuleAnswersAsPilroAndSaysWhy) {
    const bool on_posix = separator == '/';
    const struct {
        const char* directory;
        std::string name;
        std::string real;
        const char* why;
    } cases[] = {
        {"relay_missing", "foo.dll", "", "not relaying: cannot load "},
        {"relay_incomplete", "foo.dll", PILRO_TEST_LOAD_ONLY, " does not export request, unload"},
        // Windows' messages end in CR LF; a POSIX file name may hold a line feed.
        {"relay_line_feed", on_posix ? "fo\no.dll" : "foo.dll", "", "not relaying: cannot load "},
        // A link to the relay itself, which it must never call: it would call itself until the
        // stack ran out. (Windows loads a link under another name as a module of its own.)
        {"relay_itself", "foo.dll", on_posix ? "link" : "",
         on_posix ? " is this relay itself" : ""},
    };
    for (const auto& c : cases) {
        const std::string directory = pilro::test::fresh_directory(c.directory);
        const std::string stem = c.name.substr(0, c.name.rfind('.'));
        const std::string real = directory + separator + stem + ".orig.dll";
        const std::string relay_path =
            place_relay(directory, c.name, stem + ".orig.dll", c.real == "link" ? "" : c.real);
        if (c.real == "link") {
            std::filesystem::create_symlink(relay_path, real);
        }
        {
            loaded relay(relay_path);
            ASSERT_TRUE(relay.ok());
            EXPECT_EQ(relay.load(host_block("x"), 1), 1);
            EXPECT_EQ(send(relay.request, get_version).bytes, "SAORI/1.0 200 OK\r\n\r\n");
            EXPECT_EQ(relay.unload(), 1);
            if (c.real.empty()) {
                ASSERT_TRUE(pilro::test::copy_file(PILRO_TEST_ECHO_MODULE, real));
                EXPECT_EQ(relay.load(host_block("x"), 1), 1);
                EXPECT_EQ(send(relay.request, "now").bytes, "now") << c.directory;
                EXPECT_EQ(relay.unload(), 1);
            }
        }
        const std::string log = pilro::test::read_file(directory + separator + stem + ".pilro.txt");
        EXPECT_EQ(kinds(log).rfind("attach load note request unload", 0), 0u) << c.directory;
        const capture::entry note = capture::split_entries(log)[2];
        const std::string_view text = capture::note_text(log, note);
        EXPECT_NE(text.find(c.why), std::string_view::npos) << log;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string_view::npos) << log;
    }
}

// Each relay logs beside itself under its module's name: in front of a.orig.dll as a.dll, of
// b.orig as b (no extension), of .c.orig.dll as .c.dll and of .e.orig as .e (names that start
// with a dot), and beside d.dll, which keeps its name, as d.pilro.dll.
TEST(Relay, RelaysInOneFolderKeepALogEachAndTheRealModulesTheirNames) {
    const std::string directory = pilro::test::fresh_directory("relay_two");
    const std::vector<std::pair<std::string, std::string>> placed = {{"a.dll", "a.orig.dll"},
                                                                     {"b", "b.orig"},
                                                                     {".c.dll", ".c.orig.dll"},
                                                                     {".e", ".e.orig"},
                                                                     {"d.PILRO.dll", "d.dll"}};
    for (const auto& [name, real] : placed) {
        place_relay(directory, name, real, PILRO_TEST_ECHO_MODULE);
    }
    {
        std::vector<std::unique_ptr<loaded>> relays;
        for (const auto& [name, real] : placed) {
            relays.push_back(std::make_unique<loaded>(directory + separator + name));
            ASSERT_TRUE(relays.back()->ok()) << name;
            EXPECT_EQ(relays.back()->load(host_block(name), static_cast<long>(name.size())), 1);
            EXPECT_EQ(send(relays.back()->request, "to " + real).bytes, "to " + real);
        }
        for (const auto& relay : relays) {
            EXPECT_EQ(relay->unload(), 1);
        }
    }
    for (const char* name : {"a", "b", ".c", ".e", "d"}) {
        const std::string log = pilro::test::read_file(directory + separator + name + ".pilro.txt");
        EXPECT_EQ(kinds(log), "attach load request reply unload detach") << name;
        EXPECT_EQ(paired(log).size(), 1u) << name;
    }
    // Only the relays, their real modules and their logs.
    EXPECT_EQ(pilro::test::directory_entries(directory).size(), 3 * placed.size());
}

// The request that ends the host's process inside the real module is in the log.
TEST(ProcessEnd, RealModuleEndingTheProcessInsideRequestLeavesTheRequestLogged) {
    const std::string directory = pilro::test::fresh_directory("relay_exit");
    const std::string relay =
        place_relay(directory, "foo.dll", "foo.orig.dll", PILRO_TEST_ECHO_MODULE);
    const std::string text = "exit SAORI/1.0\r\n\r\n";
    const std::vector<std::string> host{pilro::test::saori_host(), relay, "--load", "x", "-"};
    const ending_limit limit(directory, "64");
    const process_result run = pilro::test::run_process(host, text, limit.ms());
    ASSERT_FALSE(run.timed_out) << "the host did not end within " << limit.said();
    EXPECT_EQ(run.exit_code, 7) << run.err;
    // Windows still detaches the relay; POSIX's _Exit does not.
    const std::string log = pilro::test::read_file(directory + separator + "foo.pilro.txt");
    const std::string logged = attach + "load() x\r\n\r\n" + text;
    EXPECT_TRUE(log == logged || log == logged + detach) << log;
}

// ---- The stub, answering from what the relay captured in front of the echo module

// Each run of texts through the relay in front of the echo module, as a host of its own;
// returns the relay's log. Texts that start with "nolength" go without a length pointer.
std::string capture_through_relay(const std::string& directory,
                                  const std::vector<std::vector<std::string>>& runs) {
    const std::string relay =
        place_relay(directory, "foo.dll", "foo.orig.dll", PILRO_TEST_ECHO_MODULE);
    // Held loaded throughout, so that the echo module's count of "next" requests goes on from
    // run to run.
    const loaded echo(directory + separator + "foo.orig.dll");
    for (const std::vector<std::string>& texts : runs) {
        loaded host(relay);
        EXPECT_EQ(host.load(host_block("x"), 1), 1);
        for (const std::string& text : texts) {
            send(host.request, text, text.compare(0, 8, "nolength") != 0);
        }
        EXPECT_EQ(host.unload(), 1);
    }
    return pilro::test::read_file(directory + separator + "foo.pilro.txt");
}

// The stub placed as name in directory, with capture beside it as foo.capture.txt.
std::string place_stub(const std::string& directory, const std::string& capture,
                       const std::string& name = "foo.dll") {
    const std::string path = directory + separator + name;
    EXPECT_TRUE(pilro::test::copy_file(pilro::test::built_stub(), path)) << path;
    EXPECT_TRUE(pilro::test::write_file(directory + separator + "foo.capture.txt", capture));
    return path;
}

// The captured replies' bytes, in the order of the requests they answer.
std::vector<std::string> captured_replies(const std::string& log) {
    std::vector<std::string> replies;
    for (const auto& pair : paired(log)) {
        replies.push_back(pair.second);
    }
    return replies;
}

std::string notes(const std::string& log) {
    std::string found;
    for (const capture::entry& e : capture::split_entries(log)) {
        if (e.kind == capture::entry_kind::note) {
            found += std::string(capture::note_text(log, e)) + "\n";
        }
    }
    return found;
}

std::string next_request(const std::string& sender, const std::string& level) {
    return "next SAORI/1.0\r\nSender: " + sender + "\r\nSecurityLevel: " + level +
           "\r\nArgument0: a\r\n\r\n";
}

// The k-th request with given bytes gets the k-th reply captured for them, the capture's runs
// in order, and past the last the last again; then, without an exact match, the k-th of the
// requests alike but for their Sender and SecurityLevel lines. Counts start again at each load
// after an unload. What the capture lacks gets pilro's answer, and a note names it.
TEST(Stub, AnswersTheKthRequestWithTheKthCapturedReplyAndFallsBackWithoutSender) {
    const std::string directory = pilro::test::fresh_directory("stub_kth");
    const std::string mine = next_request("A", "local");
    const std::string capture =
        capture_through_relay(directory, {{mine, mine, get_version, mine}, {mine}});
    const std::vector<std::string> replies = captured_replies(capture);
    ASSERT_EQ(replies.size(), 5u);
    const std::vector<std::string> to_mine = {replies[0], replies[1], replies[3], replies[4]};
    const std::string elsewhere = next_request("B", "external");
    const std::string unknown = execute_of_size(64);

    const std::string play = pilro::test::fresh_directory("stub_kth_play");
    loaded host(place_stub(play, capture));
    ASSERT_TRUE(host.ok());
    std::vector<std::string> got;
    EXPECT_EQ(host.load(host_block("x"), 1), 1);
    for (int i = 0; i < 5; ++i) {
        got.push_back(send(host.request, mine).bytes);
    }
    EXPECT_EQ(host.unload(), 1);
    EXPECT_EQ(host.load(host_block("x"), 1), 1);
    for (const std::string* text : {&elsewhere, &elsewhere, &mine, &elsewhere}) {
        got.push_back(send(host.request, *text).bytes);
    }
    EXPECT_EQ(send(host.request, get_version).bytes, replies[2]);
    const answer pilros = send(host.request, unknown);

    // The fallback leaves out header lines alone: neither the request line nor a header whose
    // name only starts with Sender.
    const std::size_t sender = mine.find("Sender");
    for (const std::string& other :
         {"EXECUTE" + mine.substr(4),
          mine.substr(0, sender) + "SenderName: B\r\n" + mine.substr(sender)}) {
        EXPECT_EQ(send(host.request, other).bytes, pilro::build_reply(other)) << other;
    }
    EXPECT_EQ(host.unload(), 1);
    EXPECT_EQ(got,
              (std::vector<std::string>{to_mine[0], to_mine[1], to_mine[2], to_mine[3], to_mine[3],
                                        to_mine[0], to_mine[1], to_mine[0], to_mine[3]}));
    EXPECT_EQ(pilros.bytes, "SAORI/1.0 204 No Content\r\n\r\n");

    const std::string log_path = play + separator + "foo.pilro.txt";
    const std::string log = pilro::test::read_file(log_path);
    const std::string read = "foo.capture.txt: 5 replies to 2 different requests\n";
    const std::string said = notes(log);
    const std::size_t first = said.find(read);
    const std::size_t second = said.find(read, first + 1);
    ASSERT_NE(second, std::string::npos) << said;
    const std::string miss = "no captured reply to the request that ends at byte " +
                             std::to_string(log.find(unknown) + unknown.size()) + " of ";
    const std::string noted = miss + pilro::files::native_path(log_path) + ": pilro's answer\n";
    EXPECT_EQ(said.substr(second + read.size(), noted.size()), noted);

    // Placed where the relay stood beside the real module, the stub stands in for it too. The
    // ignore file's names leave their headers out of the fallback as well; a miss of another
    // protocol gets its own 204.
    const std::string shiori = "GET SHIORI/3.0\r\nCharset: UTF-8\r\nSender: A\r\nID: OnBoot\r\n";
    const std::string kept = pilro::test::fresh_directory("stub_kept_name");
    const std::string at_noon = shiori + "Reference0: 12:00\r\nReference1: a\r\n\r\n";
    loaded kept_host(place_stub(
        kept, capture_through_relay(pilro::test::fresh_directory("stub_kept_capture"), {{at_noon}}),
        "foo.PILRO.dll"));
    ASSERT_TRUE(pilro::test::write_file(
        kept + separator + "foo.capture-ignore.txt",
        "\xEF\xBB\xBF# headers that change\r\n  reference*  \r\n\r\nNoSuchHeader\r\nStatus:\n"));
    EXPECT_EQ(kept_host.load(host_block("x"), 1), 1);
    EXPECT_EQ(send(kept_host.request,
                   "GET SHIORI/3.0\r\nCharset: UTF-8\r\nSender: B\r\nID: OnBoot\r\nReference0: "
                   "12:01\r\nStatus: talking\r\nREFERENCE1: b\r\nReference: c\r\n\r\n")
                  .bytes,
              at_noon);
    for (const std::string& other : {std::string("GET SHIORI/3.0\r\nID: OnClose\r\n\r\n"),
                                     "NOTIFY SHIORI/2.6" + shiori.substr(14) + "\r\n"}) {
        EXPECT_EQ(send(kept_host.request, other).bytes,
                  other.substr(other.find("SHIORI/"), 10) + " 204 No Content\r\n\r\n");
    }
    EXPECT_EQ(kept_host.unload(), 1);
    const std::string kept_log = pilro::test::read_file(kept + separator + "foo.pilro.txt");
    EXPECT_NE(notes(kept_log).find("foo.capture-ignore.txt (3 names)\n"), std::string::npos)
        << notes(kept_log);
    EXPECT_NE(notes(kept_log).find(": answered SHIORI/2.6 204 No Content\n"), std::string::npos);
    EXPECT_EQ(pilro::test::directory_entries(kept),
              (std::vector<std::string>{"foo.PILRO.dll", "foo.capture-ignore.txt",
                                        "foo.capture.txt", "foo.pilro.txt"}));

    // Enough different requests that they meet in the index's slots: each finds its own reply.
    std::vector<std::string> many;
    for (int i = 0; i < 300; ++i) {
        many.push_back("EXECUTE SAORI/1.0\r\nArgument0: " + std::to_string(i) + "\r\n\r\n");
    }
    const std::string more = pilro::test::fresh_directory("stub_many");
    loaded many_host(place_stub(pilro::test::fresh_directory("stub_many_play"),
                                capture_through_relay(more, {many})));
    EXPECT_EQ(many_host.load(host_block("x"), 1), 1);
    for (auto text = many.rbegin(); text != many.rend(); ++text) {
        EXPECT_EQ(send(many_host.request, *text).bytes, *text);
    }
    EXPECT_EQ(many_host.unload(), 1);
}

// A null reply is null with its captured length. A length past the bytes (a NUL in the reply,
// or a length past the block) gets NULs up to it. Captures made by hand: a reply without a
// length gets its bytes' count, and a length short of the bytes keeps all the bytes. Each block
// ends in a NUL, and the stub's log holds each reply as the relay would have.
TEST(Stub, GivesNullRepliesAndOddLengthsAsCaptured) {
    const std::string directory = pilro::test::fresh_directory("stub_lengths");
    const std::string with_nul("ab\0cd", 5);
    std::string capture = capture_through_relay(directory, {{"null", "past", with_nul}});
    const std::vector<std::string> replies = captured_replies(capture);
    ASSERT_EQ(replies.size(), 3u);
    const std::string short_reply = "short SAORI/1.0\r\n\r\n";
    const std::string no_length = "nolength SAORI/1.0\r\n\r\n";
    capture += short_reply + "reply(" + std::to_string(capture.size() + short_reply.size()) +
               ") 1 us, length 2, 5 bytes\r\nhello\r\n\r\n";
    capture += no_length + "reply(" + std::to_string(capture.size() + no_length.size()) +
               ") 1 us, length -, 8 bytes\r\nnolength\r\n\r\n";
    const std::string play = pilro::test::fresh_directory("stub_lengths_play");
    loaded host(place_stub(play, capture));
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(host.load(host_block("x"), 1), 1);
    const answer null = send(host.request, "null");
    EXPECT_TRUE(!null.block && null.length == 4);
    const answer past = send(host.request, "past");
    EXPECT_EQ(past.length, 1000004);
    EXPECT_TRUE(past.bytes == replies[1] + std::string(1000004 - replies[1].size(), '\0') &&
                past.nul_after);
    const answer nul = send(host.request, with_nul);
    EXPECT_TRUE(nul.length == 5 && nul.bytes == std::string("ab\0\0\0", 5) && nul.nul_after);
    const answer counted = send(host.request, no_length);
    EXPECT_TRUE(counted.length == 8 && counted.bytes == "nolength" && counted.nul_after);
    long length = static_cast<long>(short_reply.size());
    void* block = host.request(host_block(short_reply), &length);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(length, 2);
    EXPECT_STREQ(static_cast<const char*>(block), "hello");
    pilro::prim::block_free(block);
    EXPECT_EQ(host.unload(), 1);

    const std::string log = pilro::test::read_file(play + separator + "foo.pilro.txt");
    std::string listed;
    for (const capture::run& run : capture::split_runs(log)) {
        for (const capture::entry& e : run.entries) {
            if (e.kind == capture::entry_kind::reply) {
                const capture::reply r = capture::read_reply(log, e);
                listed += (r.has_length ? std::to_string(r.length) : "-") +
                          (r.block ? " " + std::string(r.bytes) : " none") + "\n";
            }
        }
    }
    EXPECT_EQ(listed, "4 none\n1000004 " + replies[1] + "\n5 ab\n8 nolength\n2 he\n");
}

// Whatever stands where the capture should be, the stub answers as pilro does, and a note at
// the load says why; a capture cut short or damaged answers with the replies it still holds.
TEST(Stub, WithoutAUsableCaptureAnswersAsPilroAndSaysWhy) {
    const std::string directory = pilro::test::fresh_directory("stub_bad");
    const std::string other = "NOTIFY SAORI/1.0\r\nSender: X\r\n\r\n";
    const std::string captured = capture_through_relay(directory, {{get_version, other}});
    // Cut inside the second reply, or its byte count one too many.
    const std::string cut = captured.substr(0, captured.rfind(other + "\r\n\r\n") + 5);
    const std::string count = ", " + std::to_string(other.size()) + " bytes\r\n" + other;
    std::string damaged = captured;
    damaged.replace(damaged.find(count), count.size() - other.size() - 8,
                    ", " + std::to_string(other.size() + 1));
    const std::string pilros_log = attach + get_version + detach;
    const struct {
        const char* name;
        // Written as the capture; a directory for "<directory>", none for "<none>", and a file
        // of 600 MiB for "<huge>".
        std::string capture;
        const char* why;
        // Whether the capture answers the first request.
        bool answers;
    } cases[] = {
        {"stub_missing", "<none>", "not answering from a capture: cannot read ", false},
        {"stub_directory", "<directory>", "foo.capture.txt: Is a directory", false},
        {"stub_empty", "", "foo.capture.txt is empty", false},
        {"stub_text", "some text\r\n\r\n", "foo.capture.txt is no capture: it holds no entry",
         false},
        {"stub_no_replies", pilros_log, "foo.capture.txt holds no replies", false},
        {"stub_huge", "<huge>",
         "foo.capture.txt holds 629145600 bytes, more than the 536870912 that the stub reads",
         false},
        {"stub_cut", cut, ": 1 replies to 1 different requests; its last entry is cut short", true},
        {"stub_damaged", damaged, ": 1 replies to 1 different requests; 1 damaged reply entries",
         true},
    };
    // The missing capture's directory has a name that the system's code page spells past ASCII:
    // the note has it in UTF-8, as it has the system's message.
    const unsigned code_page = pilro::test::ansi_code_page();
    if (std::getenv("PILRO_EXPECT_CP932") != nullptr) {
        ASSERT_EQ(code_page, 932u) << "this run was meant to have code page 932";
    }
    const auto [spelled, in_utf8] = code_page == 932    ? std::pair("\x95\x5C", "\xE8\xA1\xA8")
                                    : code_page == 1252 ? std::pair("\xE9", "\xC3\xA9")
                                    : code_page == 0    ? std::pair("\xC3\xA9", "\xC3\xA9")
                                                        : std::pair("", "");
    for (const auto& c : cases) {
        const bool missing = c.capture == "<none>";
        const std::string play =
            pilro::test::fresh_directory(c.name + std::string(missing ? spelled : ""));
        const std::string stub = place_stub(play, "");
        const std::string capture = play + separator + "foo.capture.txt";
        pilro::files::remove_file(capture);
        if (c.capture == "<directory>") {
            ASSERT_TRUE(pilro::test::make_directory(capture));
        } else if (c.capture == "<huge>") {
            ASSERT_TRUE(pilro::files::resize_file(capture, std::int64_t{600} << 20));
        } else if (c.capture != "<none>") {
            ASSERT_TRUE(pilro::test::write_file(capture, c.capture));
        }
        // An ignore file that cannot be read costs its names alone.
        const std::string ignore_file = play + separator + "foo.capture-ignore.txt";
        ASSERT_TRUE(!c.answers || pilro::test::make_directory(ignore_file));
        {
            loaded host(stub);
            ASSERT_TRUE(host.ok());
            EXPECT_EQ(host.load(host_block("x"), 1), 1);
            EXPECT_EQ(send(host.request, get_version).bytes,
                      c.answers ? get_version : "SAORI/1.0 200 OK\r\n\r\n")
                << c.name;
            EXPECT_EQ(send(host.request, other).bytes, "SAORI/1.0 400 Bad Request\r\n\r\n");
            EXPECT_EQ(host.unload(), 1);
        }
        const std::string log = pilro::test::read_file(play + separator + "foo.pilro.txt");
        const std::string said = notes(log);
        EXPECT_NE(said.find(c.why), std::string::npos) << c.name << ": " << said;
        EXPECT_EQ(said.find("no other header names: cannot read " +
                            pilro::files::native_path(ignore_file) + ": Is a directory\n") !=
                      std::string::npos,
                  c.answers)
            << said;
        if (missing) {
            // The system's reason, which on Windows carries its error number.
            EXPECT_NE(said.find(std::string(in_utf8) + separator +
                                (separator == '/' ? "foo.capture.txt: No such file or directory"
                                                  : "foo.capture.txt: error 2: ")),
                      std::string::npos)
                << said;
            EXPECT_TRUE(pilro::charset::is_utf8(said)) << said;
        }
        EXPECT_EQ(kinds(log), c.answers ? "attach load note request reply request reply note "
                                          "unload detach"
                                        : "attach load note request request unload detach")
            << c.name;
        pilro::files::remove_file(capture);
    }
}

// Threads sending alike requests at once get each captured reply once, and the last one for
// the rest. Unloads and loads meanwhile never free a capture under a call (the sanitizer
// builds see that): every call gets a captured reply or, while unloaded, pilro's.
TEST(Stub, ConcurrentCallersGetEachReplyOnceAndUnloadsFreeNothingUnderThem) {
    const std::string directory = pilro::test::fresh_directory("stub_threads");
    const std::string mine = next_request("A", "local");
    const std::vector<std::string> replies =
        captured_replies(capture_through_relay(directory, {std::vector<std::string>(8, mine)}));
    ASSERT_EQ(replies.size(), 8u);
    loaded host(place_stub(pilro::test::fresh_directory("stub_threads_play"),
                           pilro::test::read_file(directory + separator + "foo.pilro.txt")));
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(host.load(host_block("x"), 1), 1);
    std::mutex taking;
    std::map<std::string, int> got;
    std::atomic<int> waiting{0};
    // The threads start together, so that their first requests meet.
    const auto callers = [&](int each) {
        std::vector<std::thread> threads;
        waiting = 8;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, each] {
                for (--waiting; waiting > 0;) {
                    std::this_thread::yield();
                }
                for (int i = 0; i < each; ++i) {
                    const std::string reply = send(host.request, mine).bytes;
                    const std::lock_guard<std::mutex> hold(taking);
                    ++got[reply];
                }
            });
        }
        return threads;
    };
    for (std::thread& thread : callers(4)) {
        thread.join();
    }
    std::map<std::string, int> expected;
    for (const std::string& reply : replies) {
        expected[reply] = reply == replies.back() ? 25 : 1;
    }
    EXPECT_EQ(got, expected);

    got.clear();
    std::vector<std::thread> threads = callers(200);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(host.unload(), 1);
        EXPECT_EQ(host.load(host_block("x"), 1), 1);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(host.unload(), 1);
    got.erase("SAORI/1.0 400 Bad Request\r\n\r\n");
    for (const auto& [reply, count] : got) {
        EXPECT_EQ(expected.count(reply), 1u) << reply;
    }
}

// ---- The relay and the stub with every export of the echo module, as pilro-place writes them

// The stand-in (the relay's or the stub's module file) as foo.pilro.dll beside a copy of the
// echo module as foo.dll, with its exports, made as pilro-place makes it; returns its path.
std::string place_with_exports(const std::string& directory, const std::string& stand_in) {
    std::string why;
    const std::string path =
        pilro::files::place_with_exports(directory, stand_in, PILRO_TEST_ECHO_MODULE, why);
    EXPECT_FALSE(path.empty()) << why;
    return path;
}

// The echo module's further exports, and a callback for one of them.
using sum_function = int(PILRO_CDECL*)(int, int, int);
using callback_function = int(PILRO_CDECL*)(void*, int);
using with_callback_function = int(PILRO_CDECL*)(callback_function, void*);
using scaled_function = double(PILRO_CDECL*)(double, int, double, int);
using ordinal_function = int(PILRO_CDECL*)();

int PILRO_CDECL callback(void* context, int n) {
    *static_cast<int*>(context) = n;
    return n + 1;
}

// What the host gets from each of the echo module's further exports, which it finds in the
// loaded module file: "sum_of 6 with_callback 16 7 ..." (a missing export is "-"). Where they
// do not reach the real functions (reached false), 32-bit x86 leaves out the one that removes
// its own arguments from the stack (stdcall), which cannot be called soundly then, and the one
// with a floating-point result, which is not a number then.
std::string further_exports(void* library, bool reached = true) {
    const auto find = [library](const char* name) {
        return pilro::platform::library_symbol(library, name);
    };
    std::string got;
    const auto add = [&got](const char* name, bool found, const std::string& result) {
        got += std::string(got.empty() ? "" : " ") + name + " " + (found ? result : "-");
    };
    const auto sum = reinterpret_cast<sum_function>(find("sum_of"));
    add("sum_of", sum != nullptr, sum != nullptr ? std::to_string(sum(1, 2, 3)) : "");
    const auto with = reinterpret_cast<with_callback_function>(find("with_callback"));
    int seen = 0;
    const int twice = with != nullptr ? with(callback, &seen) : 0;
    add("with_callback", with != nullptr, std::to_string(twice) + " " + std::to_string(seen));
    const auto scaled = reinterpret_cast<scaled_function>(find("scaled"));
    if (reached || sizeof(void*) == 8) {
        add("scaled", scaled != nullptr,
            scaled != nullptr ? std::to_string(scaled(1.5, 2, 0.25, 4)) : "");
    }
    const auto by_ordinal = reinterpret_cast<ordinal_function>(
        pilro::platform::library_symbol_by_ordinal(library, 100));
    add("@100", by_ordinal != nullptr, by_ordinal != nullptr ? std::to_string(by_ordinal()) : "");
    const auto last = reinterpret_cast<sum_function>(find("sum_2999"));
    add("sum_2999", last != nullptr, last != nullptr ? std::to_string(last(4, 5, 6)) : "");
#if defined(__i386__)
    using difference_function = int(__attribute__((stdcall))*)(int, int);
    using fast_difference_function = int(__attribute__((fastcall))*)(int, int);
    const auto std_difference = reinterpret_cast<difference_function>(find("stdcall_difference"));
    if (reached) {
        add("stdcall_difference", std_difference != nullptr,
            std_difference != nullptr ? std::to_string(std_difference(9, 4)) : "");
    }
    const auto fast_difference =
        reinterpret_cast<fast_difference_function>(find("fastcall_difference"));
    add("fastcall_difference", fast_difference != nullptr,
        fast_difference != nullptr ? std::to_string(fast_difference(9, 4)) : "");
#endif
    return got;
}

std::string further_exports_expected() {
    std::string expected =
        "sum_of 6 with_callback 16 7 scaled " + std::to_string(4.0) + " @100 100 sum_2999 15";
#if defined(__i386__)
    expected += " stdcall_difference 5 fastcall_difference 5";
#endif
    return expected;
}

// Every further export reaches the echo module's own function, whatever its calling
// convention and whenever it is called: before the load, after the unload, from threads at
// once. loadu is the relay's, and goes on to the echo module's loadu. Released, the relay lets
// the echo module go.
TEST(Relay, PlacedWithEveryExportPassesTheOthersStraightToTheRealModule) {
    if (!pilro::platform::loads_pe_modules()) {
        GTEST_SKIP() << "pilro-place places Windows DLLs only";
    }
    const std::string directory = pilro::test::fresh_directory("relay_placed");
    const std::string path = place_with_exports(directory, pilro::test::built_relay());
    {
        loaded relay(path);
        ASSERT_TRUE(relay.ok());
        EXPECT_EQ(further_exports(relay.library), further_exports_expected());
        const auto loadu = reinterpret_cast<pilro::load_function>(
            pilro::platform::library_symbol(relay.library, "loadu"));
        ASSERT_NE(loadu, nullptr);
        EXPECT_EQ(loadu(host_block("Z:\\ghost\\"), 9), 1);
        EXPECT_EQ(send(relay.request, "loaded?").bytes, "loadu Z:\\ghost\\");
        // Threads that call exports for the first time at once each get their own.
        std::vector<std::thread> threads;
        std::atomic<int> right{0};
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&relay, &right, t] {
                const std::string name = "sum_" + std::to_string(100 + t);
                const auto sum = reinterpret_cast<sum_function>(
                    pilro::platform::library_symbol(relay.library, name.c_str()));
                right += sum != nullptr && sum(t, 1, 1) == t + 2 ? 1 : 0;
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(right.load(), 8);
        EXPECT_EQ(relay.unload(), 1);
        EXPECT_EQ(further_exports(relay.library), further_exports_expected());
    }
    const std::string log = pilro::test::read_file(directory + separator + "foo.pilro.txt");
    EXPECT_EQ(kinds(log), "attach loadu request reply unload detach");
    const std::string loadu_entry = "loadu() Z:\\ghost\\\r\n\r\n";
    EXPECT_EQ(log.compare(attach.size(), loadu_entry.size(), loadu_entry), 0) << log;
    // Nothing holds the echo module any more: its file goes.
    pilro::files::remove_file(directory + separator + "foo.dll");
    EXPECT_FALSE(pilro::test::file_exists(directory + separator + "foo.dll"));
}

// The stub answers loadu as it answers load, and its further exports reach the real module
// beside it; without that module they return 0, and a note says why.
TEST(Stub, PlacedWithEveryExportPassesTheOthersToTheRealModuleBesideIt) {
    if (!pilro::platform::loads_pe_modules()) {
        GTEST_SKIP() << "pilro-place places Windows DLLs only";
    }
    const std::string directory = pilro::test::fresh_directory("stub_placed");
    const std::string path = place_with_exports(directory, pilro::test::built_stub());
    for (const bool beside : {true, false}) {
        if (!beside) {
            pilro::files::remove_file(directory + separator + "foo.dll");
        }
        loaded stub(path);
        ASSERT_TRUE(stub.ok());
        const auto loadu = reinterpret_cast<pilro::load_function>(
            pilro::platform::library_symbol(stub.library, "loadu"));
        ASSERT_NE(loadu, nullptr);
        EXPECT_EQ(loadu(host_block("x"), 1), 1);
        EXPECT_EQ(
            further_exports(stub.library, beside),
            beside ? further_exports_expected()
            : sizeof(void*) == 8
                ? "sum_of 0 with_callback 0 0 scaled " + std::to_string(0.0) + " @100 0 sum_2999 0"
                : "sum_of 0 with_callback 0 0 @100 0 sum_2999 0 fastcall_difference 0");
        EXPECT_EQ(stub.unload(), 1);
    }
    // It stands in for foo.dll, and logs as a relay there does.
    const std::string log = pilro::test::read_file(directory + separator + "foo.pilro.txt");
    EXPECT_EQ(log.find("load() "), std::string::npos);
    EXPECT_NE(log.find("loadu() x\r\n\r\n"), std::string::npos);
    EXPECT_NE(notes(log).find("the export sum_of goes nowhere: cannot load "), std::string::npos)
        << notes(log);
    EXPECT_NE(notes(log).find("the export with ordinal 100 goes nowhere"), std::string::npos);
}

}  // namespace
