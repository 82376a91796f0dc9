// saori-host run as a user runs it: a separate process given a module file, arguments and
// standard input, judged by its exit status, its output and the log the module leaves.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_os.h"

namespace {

using pilro::test::process_result;
using pilro::test::separator;

const std::string attach = "DllMain(Attach)\r\n\r\n";
const std::string detach = "DllMain(Detach)\r\n\r\n";
const std::string unload = "unload()\r\n\r\n";

process_result host(std::vector<std::string> args, const std::string& input = std::string()) {
    args.insert(args.begin(), pilro::test::saori_host());
    return pilro::test::run_process(args, input);
}

bool mentions(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A path as the platform spells it in full: on Windows with backslashes only.
std::string native(std::string path) {
    if (separator == '\\') {
        for (char& c : path) {
            c = c == '/' ? '\\' : c;
        }
    }
    return path;
}

std::string place_pilro(const std::string& directory, const std::string& file_name) {
    const std::string path = directory + separator + file_name;
    EXPECT_TRUE(pilro::test::copy_file(pilro::test::built_module(), path)) << path;
    return path;
}

std::string write_in(const std::string& directory, const std::string& name,
                     const std::string& bytes) {
    const std::string path = directory + separator + name;
    EXPECT_TRUE(pilro::test::write_file(path, bytes)) << path;
    return path;
}

void put16(std::string& bytes, std::size_t at, unsigned value, bool big_endian = false) {
    bytes[at + (big_endian ? 1 : 0)] = static_cast<char>(value & 0xFF);
    bytes[at + (big_endian ? 0 : 1)] = static_cast<char>(value >> 8);
}

// The headers of a DLL as a linker writes them, sections and code left out.
std::string pe_dll(unsigned machine, unsigned optional_magic) {
    std::string bytes(512, '\0');
    bytes.replace(0, 2, "MZ");
    bytes[0x3C] = 0x40;  // e_lfanew
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    put16(bytes, 0x44, machine);
    put16(bytes, 0x54, 0xE0);    // SizeOfOptionalHeader
    put16(bytes, 0x56, 0x2022);  // executable image, large addresses, DLL
    put16(bytes, 0x58, optional_magic);
    return bytes;
}

// The identification and type fields of an ELF shared object.
std::string elf_shared_object(int word_bits, bool big_endian, unsigned machine) {
    std::string bytes(64, '\0');
    bytes.replace(0, 4, "\177ELF");
    bytes[4] = static_cast<char>(word_bits == 64 ? 2 : 1);
    bytes[5] = static_cast<char>(big_endian ? 2 : 1);
    bytes[6] = 1;                     // EV_CURRENT
    put16(bytes, 16, 3, big_endian);  // ET_DYN
    put16(bytes, 18, machine, big_endian);
    return bytes;
}

TEST(SaoriHostRun, BuiltRequestsGetExactRepliesAndTheLogShowsWhatWasSent) {
    const std::string directory = pilro::test::fresh_directory("host_built");
    const std::string module = place_pilro(directory, "pilro.module");

    const process_result run =
        host({module, "--get-version", "--execute", "a", "b c", "", "--", "--execute"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "SAORI/1.0 200 OK\r\n\r\n"
              "SAORI/1.0 204 No Content\r\n\r\n"
              "SAORI/1.0 204 No Content\r\n\r\n");
    // Load data by default: the module's directory, in full, ending in a separator.
    EXPECT_EQ(pilro::test::read_file(directory + separator + "pilro.txt"),
              attach + "load() " + native(directory) + separator + "\r\n\r\n" +
                  "GET Version SAORI/1.0\r\nCharset: UTF-8\r\nSender: saori-host\r\n\r\n" +
                  "EXECUTE SAORI/1.0\r\nCharset: UTF-8\r\nSender: saori-host\r\n"
                  "Argument0: a\r\nArgument1: b c\r\nArgument2: \r\n\r\n" +
                  "EXECUTE SAORI/1.0\r\nCharset: UTF-8\r\nSender: saori-host\r\n\r\n" + unload +
                  detach);
}

TEST(SaoriHostRun, LoadDataFilesAndStandardInputKeepTheCommandLineOrder) {
    const std::string directory = pilro::test::fresh_directory("host_sources");
    const std::string module = place_pilro(directory, "pilro.module");
    const std::string notify = "NOTIFY SAORI/1.0\r\nSender: test\r\n\r\n";
    const std::string version_1_1 = "GET Version SAORI/1.1\r\nSender: test\r\n\r\n";
    const std::string file = write_in(directory, "notify.txt", notify);

    // "--" keeps "-" from being an argument; --charset stands after the request it applies to.
    const process_result run = host({module, "--load", "given data", file, "--execute", "x", "--",
                                     "-", "--charset", "Shift_JIS"},
                                    version_1_1);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out,
              "SAORI/1.0 400 Bad Request\r\n\r\n"
              "SAORI/1.0 204 No Content\r\n\r\n"
              "SAORI/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(pilro::test::read_file(directory + separator + "pilro.txt"),
              attach + "load() given data\r\n\r\n" + notify +
                  "EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\nSender: saori-host\r\n"
                  "Argument0: x\r\n\r\n" +
                  version_1_1 + unload + detach);
}

// Windows' loader would look for "pilro.dll" unless told the name has no extension.
TEST(SaoriHostRun, ModuleFileWithoutExtensionWithoutRequests) {
    const std::string directory = pilro::test::fresh_directory("host_bare");
    const std::string module = place_pilro(directory, "pilro");
    const process_result run = host({module, "--load", ""});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(pilro::test::read_file(directory + separator + "pilro.txt"),
              attach + "load() \r\n\r\n" + unload + detach);
}

// "能.dll" in Shift_JIS ends its first character in 0x5C. Under code page 932 that byte is
// part of the name, elsewhere it is no separator at all: either way the load data is the
// whole directory.
TEST(SaoriHostRun, ShiftJisModuleNameWithBackslashTrailByte) {
    const unsigned code_page = pilro::test::ansi_code_page();
    if (std::getenv("PILRO_EXPECT_CP932") != nullptr) {
        ASSERT_EQ(code_page, 932u) << "this run was meant to have code page 932";
    } else if (code_page != 0 && code_page != 932) {
        GTEST_SKIP() << "needs code page 932; the build runs it again with one";
    }
    const std::string directory = pilro::test::fresh_directory("host_sjis");
    const std::string module = place_pilro(directory, "\x94\x5C.dll");
    const process_result run = host({module, "--get-version"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "SAORI/1.0 200 OK\r\n\r\n");
    const std::string log = pilro::test::read_file(directory + separator + "pilro.txt");
    EXPECT_EQ(log.substr(0, log.find("GET Version")),
              attach + "load() " + native(directory) + separator + "\r\n\r\n");
}

TEST(SaoriHostExchange, SendsAndPrintsExactlyTheCountedBytes) {
    const std::string directory = pilro::test::fresh_directory("host_bytes");
    // NUL, a lone LF, CR LF, Ctrl+Z and a high byte: what text-mode streams and C strings
    // would change.
    const std::string bytes("GET\0 x\nline\r\n\x1A tail \xFF", 20);
    const std::string file = write_in(directory, "request.bin", bytes + bytes);

    const process_result run = host({PILRO_TEST_ECHO_MODULE, "-", file}, bytes);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, bytes + bytes + bytes);
}

TEST(SaoriHostExchange, ModuleFailuresEndTheRunWithStatusOne) {
    const std::string directory = pilro::test::fresh_directory("host_failures");
    const std::string empty = write_in(directory, "empty.txt", "");

    const process_result refused = host({PILRO_TEST_ECHO_MODULE, "--load", "refuse", "-"}, "x");
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.out, "") << "a module that refused to load got a request";
    EXPECT_TRUE(mentions(refused.err, "load returned 0")) << refused.err;

    // The echo module has no reply block for an empty request; what came before it is
    // printed, what comes after it is not sent.
    const process_result stopped =
        host({PILRO_TEST_ECHO_MODULE, "-", empty, "--get-version"}, "first");
    EXPECT_EQ(stopped.exit_code, 1);
    EXPECT_EQ(stopped.out, "first");
    EXPECT_TRUE(mentions(stopped.err, "request 2 got no reply block")) << stopped.err;
}

TEST(SaoriHostRefuses, MissingModuleOrRequestFile) {
    const std::string directory = pilro::test::fresh_directory("host_missing");
    const std::string absent = directory + separator + "absent.dll";
    const process_result no_module = host({absent, "--get-version"});
    EXPECT_EQ(no_module.exit_code, 1);
    EXPECT_EQ(no_module.out, "");
    EXPECT_TRUE(mentions(no_module.err, "cannot open " + absent)) << no_module.err;

    const std::string module = place_pilro(directory, "pilro.module");
    const std::string no_such_request = directory + separator + "absent.txt";
    const process_result no_request = host({module, "--get-version", no_such_request});
    EXPECT_EQ(no_request.exit_code, 1);
    EXPECT_EQ(no_request.out, "");
    EXPECT_TRUE(mentions(no_request.err, "cannot open request file " + no_such_request))
        << no_request.err;
    // Found out before the module was loaded: nothing half done.
    EXPECT_FALSE(pilro::test::file_exists(directory + separator + "pilro.txt"));
}

TEST(SaoriHostRefuses, FilesThatAreNoModules) {
    const std::string directory = pilro::test::fresh_directory("host_not_modules");
    const struct {
        const char* name;
        std::string bytes;
        const char* reason;
    } files[] = {
        {"text.dll", "SAORI/1.0 200 OK\r\n\r\n", "it is neither a PE nor an ELF file"},
        {"empty.dll", "", "it is empty"},
        {"short.dll", "MZ", "its MS-DOS header is cut short"},
        {"dos.exe", "MZ" + std::string(126, '\0'), "it is an MS-DOS program without a PE header"},
    };
    for (const auto& file : files) {
        const std::string path = write_in(directory, file.name, file.bytes);
        const process_result run = host({path, "--get-version"});
        EXPECT_EQ(run.exit_code, 1) << file.name;
        EXPECT_EQ(run.out, "") << file.name;
        EXPECT_TRUE(mentions(run.err, path + " is not a module: " + file.reason)) << run.err;
    }
}

TEST(SaoriHostRefuses, LibraryWithoutTheSaoriExportsNamesTheMissingOnes) {
    const process_result run = host({PILRO_TEST_LOAD_ONLY, "--get-version"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(mentions(run.err, std::string(PILRO_TEST_LOAD_ONLY) +
                                      " is not a SAORI/1.0 module: it does not export "
                                      "request, unload"))
        << run.err;
}

TEST(SaoriHostRefuses, ModulesForAnotherMachineBeforeTheLoaderSeesThem) {
    const std::string directory = pilro::test::fresh_directory("host_machines");
    const struct {
        const char* name;
        std::string bytes;
        const char* described;
    } files[] = {
        {"x64.dll", pe_dll(0x8664, 0x20B), "a 64-bit x86-64 PE module"},
        {"arm64.dll", pe_dll(0xAA64, 0x20B), "a 64-bit ARM64 PE module"},
        {"ppc64.so", elf_shared_object(64, true, 21), "a 64-bit big-endian PowerPC64 ELF module"},
        {"riscv32.so", elf_shared_object(32, false, 243), "a 32-bit RISC-V ELF module"},
    };
    for (const auto& file : files) {
        const std::string path = write_in(directory, file.name, file.bytes);
        const process_result run = host({path, "--get-version"});
        EXPECT_EQ(run.exit_code, 1) << file.name;
        EXPECT_EQ(run.out, "") << file.name;
        EXPECT_TRUE(mentions(run.err, path + " is " + file.described + "; this host loads "))
            << run.err;
    }
}

TEST(SaoriHostUsage, BadArgumentsExitTwoBeforeTouchingTheModule) {
    const std::string directory = pilro::test::fresh_directory("host_usage");
    const std::string module = place_pilro(directory, "pilro.module");
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--get-version"},
        {"-", module},
        {module, "--frobnicate"},
        {module, "-x"},
        {module, "--load"},
        {module, "--charset"},
        {module, "--load", "a", "--load", "b"},
        {module, "--charset", "a\r\nSender: other"},
        {module, "-", "-"},
        {module, "--execute", "line\nbreak"},
        {module, "--get-version", "--"},
    };
    for (const auto& args : bad) {
        const process_result run = host(args);
        EXPECT_EQ(run.exit_code, 2) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(mentions(run.err, "usage: saori-host MODULE")) << run.err;
    }
    EXPECT_FALSE(pilro::test::file_exists(directory + separator + "pilro.txt"));
}

TEST(SaoriHostUsage, HelpGoesToStandardOutput) {
    for (const char* help : {"--help", "-h"}) {
        const process_result run = host({help});
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.out.compare(0, 24, "usage: saori-host MODULE"), 0) << run.out;
        EXPECT_TRUE(mentions(run.out, "--execute [ARG ...]"));
    }
}

}  // namespace
