// The real module file, loaded and released through the platform's loader, as a host does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "module/exports.h"
#include "platform/platform.h"
#include "prim/prim.h"
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
    std::string error;
    void* library =
        pilro::platform::library_open(place_module(directory, "pilro.dll").c_str(), error);
    if (library == nullptr) {
        GTEST_SKIP() << "the platform does not load modules from a path this long: " << error;
    }
    pilro::platform::library_close(library);
    EXPECT_FALSE(pilro::test::file_exists(root + separator + "pilro.txt"));
    for (const std::string& level : levels) {
        EXPECT_FALSE(pilro::test::file_exists(level + separator + "pilro.txt")) << level;
        // A directory cut short would name the log after a prefix of its last directory.
        EXPECT_FALSE(pilro::test::file_exists(level + "pilro.txt")) << level;
    }
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
    const std::string module = place_module(directory, "pilro.dll");
    std::string error;
    void* library = pilro::platform::library_open(module.c_str(), error);
    ASSERT_NE(library, nullptr) << error;
    const auto load =
        reinterpret_cast<load_function>(pilro::platform::library_symbol(library, "load"));
    const auto request =
        reinterpret_cast<request_function>(pilro::platform::library_symbol(library, "request"));
    const auto unload =
        reinterpret_cast<unload_function>(pilro::platform::library_symbol(library, "unload"));
    ASSERT_TRUE(load != nullptr && request != nullptr && unload != nullptr);

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
    pilro::platform::library_close(library);

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

}  // namespace
