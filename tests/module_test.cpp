// The real module file, loaded and released through the platform's loader, as a host does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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
    void* library = pilro::prim::library_open(module.c_str(), error);
    ASSERT_NE(library, nullptr) << module << ": " << error;
    pilro::prim::library_close(library);
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
    void* one = pilro::prim::library_open(place_module(first, "a.module").c_str(), error);
    void* two = pilro::prim::library_open(place_module(second, "b.module").c_str(), error);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    pilro::prim::library_close(one);
    EXPECT_EQ(pilro::test::read_file(first + separator + "pilro.txt"), attach + detach);
    EXPECT_EQ(pilro::test::read_file(second + separator + "pilro.txt"), attach);
    pilro::prim::library_close(two);
    EXPECT_EQ(pilro::test::read_file(second + separator + "pilro.txt"), attach + detach);
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

}  // namespace
