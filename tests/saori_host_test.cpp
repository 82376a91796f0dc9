// saori-host run as a user runs it: a separate process given a module file, arguments and
// standard input, judged by its exit status, its output and the log the module leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_log.h"
#include "pe_files.h"
#include "platform/platform.h"
#include "prim/prim.h"
#include "test_os.h"

namespace {

using pilro::test::process_result;
using pilro::test::separator;

const std::string attach = "DllMain(Attach)\r\n\r\n";
const std::string detach = "DllMain(Detach)\r\n\r\n";
const std::string unload = "unload()\r\n\r\n";
const std::string get_version =
    "GET Version SAORI/1.0\r\nCharset: UTF-8\r\nSender: saori-host\r\n\r\n";
// "表示" in Shift_JIS, whose first character ends in 0x5C, and an empty argument.
const std::string shift_jis_request =
    "EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\nSender: AYA\r\n"
    "Argument0: \x95\x5C\x8E\xA6\r\nArgument1: \r\n\r\n";

process_result host(std::vector<std::string> args, const std::string& input = std::string()) {
    args.insert(args.begin(), pilro::test::saori_host());
    return pilro::test::run_process(args, input);
}

// The arguments as characters typed at a terminal, given here in UTF-8.
process_result host_typed(std::vector<std::string> args) {
    args.insert(args.begin(), pilro::test::saori_host());
    return pilro::test::run_process_text(args);
}

process_result pilro_log(std::vector<std::string> args) {
    args.insert(args.begin(), pilro::test::pilro_log());
    return pilro::test::run_process(args);
}

bool mentions(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Text as pilro-log shows it: a backslash doubled. (Paths hold no other byte it escapes.)
std::string pilro_log_text(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        shown += c == '\\' ? "\\\\" : std::string(1, c);
    }
    return shown;
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
    // loadu gets the directory in UTF-8 (on POSIX the bytes of its name as they are); the echo
    // module tells which load it got, and with what.
    const std::string folder = directory + separator + "\x94\x5C";
    ASSERT_TRUE(pilro::test::make_directory(folder));
    const std::string echo = std::string(PILRO_TEST_ECHO_MODULE);
    const std::string copy = folder + separator + echo.substr(echo.find_last_of("/\\") + 1);
    ASSERT_TRUE(pilro::test::copy_file(echo, copy));
    const process_result loaded = host({copy, "-"}, "loaded?");
    EXPECT_EQ(loaded.out, "loadu " + native(directory) + separator +
                              (separator == '\\' ? "\xE8\x83\xBD" : "\x94\x5C") + separator)
        << loaded.err;
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

    // The block holds the request and nothing more, where the platform can tell a block's
    // size exactly (Windows; AddressSanitizer's heap).
    void* probe = pilro::prim::block_alloc(5);
    const bool exact = pilro::prim::block_size(probe) == 5;
    pilro::prim::block_free(probe);
    if (exact) {
        EXPECT_EQ(host({PILRO_TEST_ECHO_MODULE, "-"}, "size?").out, "5");
    }
}

TEST(SaoriHostExchange, ModuleFailuresAreNamedTheRestSentAndTheStatusOne) {
    const std::string directory = pilro::test::fresh_directory("host_failures");
    const std::string empty = write_in(directory, "empty.txt", "");
    const std::string past = write_in(directory, "past.txt", "past");

    const process_result refused = host({PILRO_TEST_ECHO_MODULE, "--load", "refuse", "-"}, "x");
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.out, "") << "a module that refused to load got a request";
    // The echo module has loadu, which hosts call in place of load.
    EXPECT_TRUE(mentions(refused.err, ": loadu returned 0")) << refused.err;

    // The echo module has no reply block for an empty request, and a length past the block
    // for "past"; what comes after them is sent all the same, as hosts go on.
    const process_result failed =
        host({PILRO_TEST_ECHO_MODULE, "-", empty, past, "--get-version"}, "first");
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_EQ(failed.out, "first" + get_version);
    EXPECT_TRUE(mentions(failed.err, "request 2 got no reply block")) << failed.err;
    EXPECT_TRUE(mentions(failed.err, "request 3 got a reply length of 1000004")) << failed.err;
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
    struct module_file {
        const char* name;
        std::string bytes;
        const char* described;
    };
    // A host that loads x86-64 DLLs (the build that runs the Windows tests where 32-bit
    // programs cannot run) must refuse the product's own kind, a 32-bit x86 DLL.
    const bool loads_x64_dlls =
        pilro::platform::loads_pe_modules() && pilro::platform::loadable_machine() == 0x8664;
    const module_file files[] = {
        loads_x64_dlls ? module_file{"x86.dll", pe_dll(0x014C, 0x10B), "a 32-bit x86 PE module"}
                       : module_file{"x64.dll", pe_dll(0x8664, 0x20B), "a 64-bit x86-64 PE module"},
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
        {module, "--sender", "a\r\nCharset: other", "--get-version"},
        {module, "--header", "NoColon", "--get-version"},
        {module, "--header", "Two  :blanks", "--get-version"},
        {module, "--header", "X:y", "--get-version"},
        {module, "--header", "charset: UTF-8", "--get-version"},
        {module, "--header", "X-Line: a\nb", "--get-version"},
        {module, "--replay", module, "--get-version"},
        {module, "--replay", module, "--charset", "UTF-8"},
        {module, "--replay", module, "--run", "0"},
        {module, "--replay", module, "--run", "last"},
        {module, "--run", "1", "--get-version"},
        {module, "--compare", "--get-version"},
        {module, "--request", ""},
        {module, "--request", "GET SHIORI/3.0\r\nID: x"},
        {module, "--replay", module, "--request", "GET SHIORI/3.0"},
        {module, "--replay", module, "--compare", "--compare"},
    };
    for (const auto& args : bad) {
        const process_result run = host(args);
        EXPECT_EQ(run.exit_code, 2) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(mentions(run.err, "usage: saori-host MODULE")) << run.err;
    }
    EXPECT_FALSE(pilro::test::file_exists(directory + separator + "pilro.txt"));
}

TEST(SaoriHostArguments, ShiftJisAndUtf8TextGoesOutInTheCharsetTheRequestNames) {
    // The echo module's reply is the request as it arrived.
    const process_result sjis =
        host_typed({PILRO_TEST_ECHO_MODULE, "--execute", "テスト表示", "", "--charset", "Shift_JIS",
                    "--sender", "伺か", "--header", "SecurityLevel: local"});
    EXPECT_EQ(sjis.exit_code, 0) << sjis.err;
    EXPECT_EQ(sjis.out,
              "EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\nSender: \x8E\x66\x82\xA9\r\n"
              "SecurityLevel: local\r\n"
              "Argument0: \x83\x65\x83\x58\x83\x67\x95\x5C\x8E\xA6\r\nArgument1: \r\n\r\n");

    // Any request line, for the other protocols of the same exports.
    const process_result shiori =
        host_typed({PILRO_TEST_ECHO_MODULE, "--request", "NOTIFY SHIORI/3.0", "--header",
                    "ID: 表示", "--charset", "Shift_JIS"});
    EXPECT_EQ(shiori.exit_code, 0) << shiori.err;
    EXPECT_EQ(shiori.out,
              "NOTIFY SHIORI/3.0\r\nCharset: Shift_JIS\r\nSender: saori-host\r\n"
              "ID: \x95\x5C\x8E\xA6\r\n\r\n");

    const process_result utf8 = host_typed({PILRO_TEST_ECHO_MODULE, "--execute", "テスト表示"});
    EXPECT_EQ(utf8.exit_code, 0) << utf8.err;
    EXPECT_EQ(utf8.out,
              "EXECUTE SAORI/1.0\r\nCharset: UTF-8\r\nSender: saori-host\r\n"
              "Argument0: テスト表示\r\n\r\n");

    // On POSIX a typed word is read in the locale's charset, which need not be UTF-8: 表 is
    // C9 BD in EUC-JP (scripts/setup test generates that locale).
    if (separator == '/') {
        const process_result euc = pilro::test::run_process(
            {"/usr/bin/env", "LC_ALL=ja_JP.EUC-JP", pilro::test::saori_host(),
             PILRO_TEST_ECHO_MODULE, "--execute", "\xC9\xBD"});
        EXPECT_EQ(euc.exit_code, 0) << euc.err;
        EXPECT_EQ(euc.out,
                  "EXECUTE SAORI/1.0\r\nCharset: UTF-8\r\nSender: saori-host\r\n"
                  "Argument0: 表\r\n\r\n");
    }

    // ASCII reads the same in every charset a request can be written in at all.
    const process_result unknown =
        host_typed({PILRO_TEST_ECHO_MODULE, "--charset", "x-private", "--execute", "a\\b"});
    EXPECT_EQ(unknown.exit_code, 0) << unknown.err;
    EXPECT_EQ(unknown.out,
              "EXECUTE SAORI/1.0\r\nCharset: x-private\r\nSender: saori-host\r\n"
              "Argument0: a\\b\r\n\r\n");

    const struct {
        std::vector<std::string> args;
        const char* said;
    } refused[] = {
        {{"--charset", "Shift_JIS", "--execute", "한"},
         "argument 0 of --execute: U+D55C is not in"},
        // YEN SIGN: a best fit would send 0x5C, a backslash.
        {{"--charset", "SJIS", "--execute", "ok", "¥"}, "argument 1 of --execute: U+00A5 is not"},
        {{"--charset", "ISO-8859-1", "--sender", "表", "--get-version"}, "--sender value: U+8868"},
        {{"--charset", "x-private", "--execute", "表"}, "\"x-private\" is no charset"},
    };
    for (const auto& bad : refused) {
        std::vector<std::string> args = bad.args;
        args.insert(args.begin(), PILRO_TEST_ECHO_MODULE);
        const process_result run = host_typed(args);
        EXPECT_EQ(run.exit_code, 2) << bad.said;
        EXPECT_EQ(run.out, "") << bad.said;
        EXPECT_TRUE(mentions(run.err, bad.said)) << run.err;
    }
}

// A capture made through pilro named as another module, replayed into a fresh copy: what the
// copy logs is what the capture holds, request for request, byte for byte.
TEST(SaoriHostReplay, ShiftJisCaptureReplaysRunByRunByteForByte) {
    const std::string captured = pilro::test::fresh_directory("replay_capture");
    const std::string stand_in = place_pilro(captured, "foo.dll");
    const std::string request_file = write_in(captured, "sjis.txt", shift_jis_request);
    const std::string notify = "NOTIFY SAORI/1.0\r\nSender: AYA\r\n\r\n";
    ASSERT_EQ(
        host({stand_in, "--load", "C:\\ghost\\saori\\", request_file, "--get-version"}).exit_code,
        0);
    ASSERT_EQ(host({stand_in, "-", "--execute", "", "x"}, notify).exit_code, 0);
    const std::string log = captured + separator + "pilro.txt";

    const std::string replayed = pilro::test::fresh_directory("replay_target");
    const std::string target = place_pilro(replayed, "foo.dll");
    const process_result first = host({target, "--replay", log, "--run", "1"});
    EXPECT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.out, "SAORI/1.0 204 No Content\r\n\r\nSAORI/1.0 200 OK\r\n\r\n");
    // The last run unless told otherwise.
    const process_result last = host({target, "--replay", log});
    EXPECT_EQ(last.exit_code, 0) << last.err;
    EXPECT_EQ(last.out, "SAORI/1.0 400 Bad Request\r\n\r\nSAORI/1.0 204 No Content\r\n\r\n");

    // The load data is the target's directory, not the one captured.
    const std::string load = "load() " + native(replayed) + separator + "\r\n\r\n";
    EXPECT_EQ(pilro::test::read_file(replayed + separator + "pilro.txt"),
              attach + load + shift_jis_request + get_version + unload + detach + attach + load +
                  notify +
                  "EXECUTE SAORI/1.0\r\nCharset: UTF-8\r\nSender: saori-host\r\n"
                  "Argument0: \r\nArgument1: x\r\n\r\n" +
                  unload + detach);
}

TEST(SaoriHostReplay, CutShortEmptyAndMissingLogsAndRunsWithoutRequests) {
    const std::string directory = pilro::test::fresh_directory("replay_refused");
    const std::string module = place_pilro(directory, "pilro.module");
    const std::string cut = write_in(
        directory, "cut.txt",
        attach + "load() x\r\n\r\n" + get_version + "EXECUTE SAORI/1.0\r\nArgument0: \x95");
    const process_result sent = host({module, "--replay", cut});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(sent.out, "SAORI/1.0 200 OK\r\n\r\n");
    EXPECT_TRUE(mentions(sent.err, cut + " ends in the middle of an entry")) << sent.err;
    // Two module files' runs in one log: replayed as they stand, with a warning.
    const std::string shared =
        write_in(directory, "shared.txt", attach + attach + get_version + detach + detach);
    const process_result warned = host({module, "--replay", shared, "--run", "2"});
    EXPECT_EQ(warned.exit_code, 0) << warned.err;
    EXPECT_TRUE(mentions(warned.err, shared + ": two runs were open at once")) << warned.err;
    const std::string log_before = pilro::test::read_file(directory + separator + "pilro.txt");

    const std::string own = write_in(
        directory, "own.txt", attach + detach + attach + "load() x\r\n\r\n" + unload + detach);
    const std::string empty = write_in(directory, "empty.txt", "");
    const std::string memo = write_in(directory, "memo.txt", "Dear all,\r\n\r\nSee you.\r\n\r\n");
    const std::string missing = directory + separator + "missing.txt";
    const struct {
        std::vector<std::string> args;
        std::string said;
    } refused[] = {
        {{"--replay", own, "--run", "2"}, own + ": run 2 of 2 holds no requests"},
        {{"--replay", own, "--run", "3"}, own + ": there is no run 3: the log holds 2 runs"},
        {{"--replay", own, "--run", "-3"}, "there is no run -3"},
        {{"--replay", empty}, empty + " is empty"},
        {{"--replay", memo}, memo + " is no log that pilro captured"},
        {{"--replay", missing}, "cannot open " + missing},
    };
    for (const auto& bad : refused) {
        std::vector<std::string> args = bad.args;
        args.insert(args.begin(), module);
        const process_result run = host(args);
        EXPECT_EQ(run.exit_code, 1) << bad.said;
        EXPECT_EQ(run.out, "") << bad.said;
        EXPECT_TRUE(mentions(run.err, bad.said)) << run.err;
    }
    // Found out before the module was loaded.
    EXPECT_EQ(pilro::test::read_file(directory + separator + "pilro.txt"), log_before);
}

TEST(PilroLog, ShiftJisCaptureOneLinePerRunAndEntry) {
    const std::string directory = pilro::test::fresh_directory("pilro_log");
    const std::string module = place_pilro(directory, "pilro.module");
    // A backslash, a byte that is no character in Shift_JIS, a tab.
    const std::string request =
        "EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\n"
        "Argument0: \x95\x5C\x8E\xA6\\\x80\t\r\nArgument1: \r\n\r\n";
    const std::string file = write_in(directory, "request.txt", request);
    ASSERT_EQ(host({module, "--load", "C:\\ghost\\", file}).exit_code, 0);
    ASSERT_EQ(host({module, "--get-version"}).exit_code, 0);
    const std::string log = directory + separator + "pilro.txt";
    const std::string cut = "EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\nArgument0: \x95\x5C\x95";
    const std::string captured = pilro::test::read_file(log) + cut;
    ASSERT_TRUE(pilro::test::write_file(log, captured));

    const std::string load = "load() " + native(directory) + separator + "\r\n\r\n";
    const std::string run_2 = attach + load + get_version + unload + detach;
    const std::string lines_1 = "run 1: 5 entries, 1 request, " +
                                std::to_string(captured.size() - run_2.size() - cut.size()) +
                                " bytes\n"
                                "1.1 attach 19\n"
                                "1.2 load 20 C:\\\\ghost\\\\\n"
                                "1.3 request " +
                                std::to_string(request.size()) +
                                " EXECUTE SAORI/1.0\\r\\nCharset: Shift_JIS\\r\\n"
                                "Argument0: 表示\\\\\\x80\\t\\r\\nArgument1: \\r\\n\n"
                                "1.4 unload 12\n"
                                "1.5 detach 19\n";
    const std::string lines_2 = "run 2: 5 entries, 1 request, " + std::to_string(run_2.size()) +
                                " bytes\n2.1 attach 19\n2.2 load " + std::to_string(load.size()) +
                                " " + pilro_log_text(native(directory) + separator) +
                                "\n2.3 request " + std::to_string(get_version.size()) +
                                " GET Version SAORI/1.0\\r\\nCharset: UTF-8\\r\\n"
                                "Sender: saori-host\\r\\n\n"
                                "2.4 unload 12\n"
                                "2.5 detach 19\n";
    const std::string lines_3 = "run 3: 1 entry, 0 requests, " + std::to_string(cut.size()) +
                                " bytes, no attach, no detach\n3.1 cut-short " +
                                std::to_string(cut.size()) +
                                " EXECUTE SAORI/1.0\\r\\nCharset: Shift_JIS\\r\\n"
                                "Argument0: 表\\x95\n";
    const process_result all = pilro_log({log});
    EXPECT_EQ(all.exit_code, 0) << all.err;
    EXPECT_EQ(all.out, lines_1 + lines_2 + lines_3);
    EXPECT_TRUE(mentions(all.err, "ends in the middle of an entry")) << all.err;

    const process_result second = pilro_log({log, "--run", "-2"});
    EXPECT_EQ(second.exit_code, 0) << second.err;
    EXPECT_EQ(second.out, lines_2);
    EXPECT_EQ(second.err, "");

    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{log, "--run", "4"}, {directory + separator + "missing.txt"}}) {
        const process_result run = pilro_log(refused);
        EXPECT_EQ(run.exit_code, 1) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(PilroLog, FilesThatAreNoLogsDirectoriesAndRunsOpenAtOnce) {
    const std::string directory = pilro::test::fresh_directory("pilro_log_refused");
    const std::string whole_run = attach + "load() x\r\n\r\n" + get_version + unload + detach;
    const struct {
        const char* name;
        std::string bytes;
        int exit_code;
        const char* said;
    } files[] = {
        {"empty.txt", "", 1, " holds no pilro entries: it is empty"},
        {"binary.bin",
         std::string("\x7F"
                     "ELF\x01\0\x95\r\n\r\n\xFF",
                     12),
         1, " holds no pilro entries"},
        {"memo.txt", "Dear all,\r\n\r\nSee you.\r\n\r\n", 1, " holds no pilro entries"},
        {"replies.txt", "SHIORI/3.0 200 OK\r\nValue: x\r\n\r\n", 1, " holds no pilro entries"},
        // Requests of another protocol cut out of a log.
        {"shiori.txt", "GET SHIORI/3.0\r\nID: OnBoot\r\n\r\nGET Sentence SHIORI/2.2\r\n\r\n", 0,
         ""},
        // Begun in the middle of a run; a process ended without its detach entry, then the
        // next one's run.
        {"middle.txt", get_version + get_version, 0, ""},
        {"crashed.txt", attach + get_version + whole_run + whole_run, 0, ""},
        // foo.dll's and bar.dll's runs in one log.
        {"shared.txt", attach + attach + get_version + unload + detach + unload + detach, 0,
         ": two runs were open at once"},
    };
    for (const auto& file : files) {
        const std::string path = write_in(directory, file.name, file.bytes);
        const process_result run = pilro_log({path});
        EXPECT_EQ(run.exit_code, file.exit_code) << file.name;
        EXPECT_EQ(run.out.empty(), file.exit_code != 0) << file.name;
        EXPECT_EQ(run.err.empty(), *file.said == '\0') << run.err;
        EXPECT_TRUE(run.err.empty() || mentions(run.err, path + file.said)) << run.err;
    }
    const process_result folder = pilro_log({directory});
    EXPECT_EQ(folder.exit_code, 1);
    EXPECT_EQ(folder.err.find("pilro-log: cannot open " + directory + ": Is a directory"), 0u)
        << folder.err;
    const std::string crashed = directory + separator + "crashed.txt";
    // Minutes: only a pilro-log that hangs comes near them.
    constexpr int hang_ms = 600000;
    EXPECT_EQ(
        pilro::test::run_process({pilro::test::pilro_log(), crashed, "--follow", "--run", "1"},
                                 std::string(), hang_ms)
            .exit_code,
        2);
    // Following starts with what the log holds, shown as a whole log is; stopped while it
    // waits for more.
    const std::string whole = pilro_log({crashed}).out;
    const process_result followed =
        pilro::test::run_process({pilro::test::pilro_log(), crashed, "--follow"}, std::string(),
                                 hang_ms, [&whole](const std::string& out, const std::string&) {
                                     return out.size() >= whole.size();
                                 });
    EXPECT_TRUE(followed.stopped);
    EXPECT_EQ(followed.out, whole);
}

// pilro-log --follow while the log is made late, written by hand and by another process, an
// entry in two writes, then removed and made anew; a directory in its place ends it. What it
// shows does not depend on when it looks, as long as it looks between the steps that need a
// look of their own: each of those waits until it has shown the step before.
TEST(PilroLog, FollowShowsEachEntryOnceWholeAndEachNewLogFromItsStart) {
    const std::string directory = pilro::test::fresh_directory("pilro_log_follow");
    const std::string module = place_pilro(directory, "foo.module");
    const std::string log = directory + separator + "pilro.txt";
    const std::string request = "EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\nArgument0: x\r\n\r\n";
    // As the relay writes it, naming the offset where the request's entry ends; it comes looks
    // later than its request, after another request, and is read in its request's charset.
    const std::string reply = "reply(" + std::to_string(attach.size() + 12 + request.size()) +
                              ") 7 us, length 2, 2 bytes\r\n\x95\x5C\r\n\r\n";
    const std::string load = "load() " + native(directory) + separator + "\r\n\r\n";
    const std::vector<std::string> shown = {
        "run 1:\n1.1 attach 19\n1.2 load 12 x\n",
        "1.3 request " + std::to_string(request.size()) +
            " EXECUTE SAORI/1.0\\r\\nCharset: Shift_JIS\\r\\nArgument0: x\\r\\n\n",
        "1.4 request 61 GET Version SAORI/1.0\\r\\nCharset: UTF-8\\r\\nSender: saori-host\\r\\n\n"
        "1.5 reply " +
            std::to_string(reply.size()) + " (to 1.3, 7 us) 表\n1.6 unload 12\n1.7 detach 19\n",
        "run 2:\n2.1 attach 19\n2.2 load " + std::to_string(load.size()) + " " +
            pilro_log_text(native(directory) + separator) + "\n2.3 request " +
            std::to_string(get_version.size()) +
            " GET Version SAORI/1.0\\r\\nCharset: UTF-8\\r\\nSender: saori-host\\r\\n\n"
            "2.4 unload 12\n2.5 detach 19\n",
        "run 1:\n1.1 attach 19\n1.2 load 16 again\n",
        "run 1:\n1.1 attach 19\n1.2 load 19 replaced\n1.3 request 61 GET Version SAORI/1.0\\r\\n"
        "Charset: UTF-8\\r\\nSender: saori-host\\r\\n\n",
        "run 1:\n1.1 attach 19\n"};
    // What pilro-log has shown so far; a step that needs a look of its own waits until it has
    // shown the steps before (as many bytes) and said text count times, or has ended.
    std::mutex seen;
    std::string out;
    std::string err;
    std::atomic<bool> ended{false};
    std::size_t so_far = 0;
    const auto said = [&](const std::string& text = std::string(), int count = 0) {
        for (;; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            const std::lock_guard<std::mutex> lock(seen);
            int found = 0;
            for (std::size_t at = err.find(text); !text.empty() && at != std::string::npos;
                 at = err.find(text, at + 1)) {
                ++found;
            }
            if (ended || (out.size() >= so_far && found >= count)) {
                return;
            }
        }
    };
    const auto shows = [&](std::size_t step, const std::string& text = std::string(),
                           int count = 0) {
        so_far += shown[step].size();
        said(text, count);
    };
    std::thread writer([&] {
        // Under Wine a file that pilro-log has open for a moment can be neither replaced nor
        // opened without sharing, and one removed stays in the way until it is closed.
        const auto retried = [&](const auto& step) {
            while (!step()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        };
        const auto removed = [&] {
            pilro::files::remove_file(log);
            return !pilro::test::file_exists(log);
        };
        const auto append = [&](const std::string& bytes) {
            std::ofstream(log, std::ios::binary | std::ios::app) << bytes;
        };
        said("waiting for " + log + " to be made", 1);
        append(attach + "load() x\r\n\r\n");
        shows(0);
        append(request.substr(0, 30));
        // A few looks at the half entry, which none of them shows: a chance, not a need.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        append(request.substr(30));
        shows(1);
        append(get_version + reply + unload + detach);
        shows(2);
        host({module, "--get-version"});
        shows(3);
        retried(removed);
        said("is gone; waiting for it to be made again", 1);
        append(attach + "load() again\r\n\r\n");
        shows(4);
        // Replaced by a longer file, then cut shorter, each between two looks.
        write_in(directory, "next.txt", attach + "load() replaced\r\n\r\n" + get_version);
        retried([&] {
            std::error_code failed;
            std::filesystem::rename(directory + separator + "next.txt", log, failed);
            return !failed;
        });
        shows(5, "was made anew", 1);
        retried([&] { return pilro::test::write_file(log, attach); });
        shows(6, "was made anew", 2);
        retried(removed);
        retried([&] { return pilro::test::make_directory(log); });
    });
    const process_result run =
        pilro::test::run_process({pilro::test::pilro_log(), log, "--follow"}, std::string(), 600000,
                                 [&](const std::string& now_out, const std::string& now_err) {
                                     const std::lock_guard<std::mutex> lock(seen);
                                     out = now_out;
                                     err = now_err;
                                     return false;
                                 });
    ended = true;
    writer.join();
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_TRUE(mentions(run.err, "cannot open " + log + ": Is a directory")) << run.err;
    std::string all;
    for (const std::string& step : shown) {
        all += step;
    }
    EXPECT_EQ(run.out, all) << run.err;
}

// A capture through the relay in front of the echo module, which replies with the request:
// against another copy of the echo module every reply is the same; against pilro each
// differs, the null reply included.
TEST(SaoriHostReplay, CompareHoldsEachReplyAgainstTheRelaysCapture) {
    const std::string directory = pilro::test::fresh_directory("compare");
    const std::string relay = directory + separator + "foo.dll";
    ASSERT_TRUE(pilro::test::copy_file(pilro::test::built_relay(), relay));
    ASSERT_TRUE(
        pilro::test::copy_file(PILRO_TEST_ECHO_MODULE, directory + separator + "foo.orig.dll"));
    const std::string sjis = write_in(directory, "sjis.txt", shift_jis_request);
    const std::string null = write_in(directory, "null.txt", "null");
    // The null reply, to the last request, is a failed call.
    ASSERT_EQ(host({relay, "--load", "x", sjis, null}).exit_code, 1);
    const std::string log = directory + separator + "foo.pilro.txt";

    const process_result same = host({PILRO_TEST_ECHO_MODULE, "--replay", log, "--compare"});
    EXPECT_EQ(same.exit_code, 0) << same.err;
    EXPECT_EQ(same.out, "request 1: same\nrequest 2: same\n");
    // The stub, answering from that capture in the real module's place, is the same too, and
    // so is its own log held against it.
    const std::string stub = pilro::test::fresh_directory("compare_stub") + separator + "foo.dll";
    ASSERT_TRUE(pilro::test::copy_file(pilro::test::built_stub(), stub));
    ASSERT_TRUE(pilro::test::copy_file(log, stub.substr(0, stub.size() - 3) + "capture.txt"));
    const process_result stubbed = host({stub, "--replay", log, "--compare"});
    EXPECT_EQ(stubbed.exit_code, 0) << stubbed.err;
    EXPECT_EQ(stubbed.out, "request 1: same\nrequest 2: same\n");
    const process_result again_stubbed =
        host({stub, "--replay", stub.substr(0, stub.size() - 3) + "pilro.txt", "--compare"});
    EXPECT_EQ(again_stubbed.out, "request 1: same\nrequest 2: same\n") << again_stubbed.err;
    // Joined with itself, each copy's replies pair in their own run, for --compare as for
    // pilro-log. Deleted while the first request was inside the real module, the log starts
    // with its reply, which is neither sent nor held against a request.
    const std::string captured = pilro::test::read_file(log);
    const std::string joined = write_in(directory, "joined.txt", captured + captured);
    const process_result again =
        host({PILRO_TEST_ECHO_MODULE, "--replay", joined, "--run", "2", "--compare"});
    EXPECT_EQ(again.out, "request 1: same\nrequest 2: same\n") << again.err;
    const std::string shown = pilro_log({joined, "--run", "2"}).out;
    const std::size_t reply_line = shown.find("\n2.6 reply ");
    EXPECT_TRUE(mentions(shown.substr(reply_line, shown.find('\n', reply_line + 1) - reply_line),
                         " (to 2.5, "))
        << shown;
    const std::string deleted =
        write_in(directory, "deleted.txt", captured.substr(captured.find("reply(")));
    const process_result rest = host({PILRO_TEST_ECHO_MODULE, "--replay", deleted, "--compare"});
    EXPECT_EQ(rest.out, "request 1: same\n") << rest.err;

    const process_result differs =
        host({place_pilro(directory, "pilro.dll"), "--replay", log, "--compare"});
    EXPECT_EQ(differs.exit_code, 1) << differs.err;
    EXPECT_EQ(differs.out, "request 1: differs\tcaptured (length " +
                               std::to_string(shift_jis_request.size()) +
                               ") EXECUTE SAORI/1.0\\r\\nCharset: Shift_JIS\\r\\nSender: AYA\\r\\n"
                               "Argument0: 表示\\r\\nArgument1: \\r\\n\\r\\n\tnow (length 28) "
                               "SAORI/1.0 204 No Content\\r\\n\\r\\n\n"
                               "request 2: differs\tcaptured (no block, length 4)\tnow (length 29) "
                               "SAORI/1.0 400 Bad Request\\r\\n\\r\\n\n");

    // A captured block that is now a null reply, the same bytes with another length, a request
    // whose reply the log lacks, and then one that is the same: the status is 1 all the same.
    // Where a block's size is exact, a length past the block is read only as far as the block.
    void* probe = pilro::prim::block_alloc(5);
    const bool exact = pilro::prim::block_size(probe) == 5;
    pilro::prim::block_free(probe);
    std::string crafted = attach;
    const auto answer = [&crafted](const std::string& request, const char* reply) {
        crafted += request;
        crafted += "reply(" + std::to_string(crafted.size()) + ") 1 us, " + reply + "\r\n\r\n";
    };
    answer("null", "length 1, 1 bytes\r\nx");
    answer("x", "length 9, 1 bytes\r\nx");
    crafted += "null too\r\n\r\n";
    answer("y", "length 1, 1 bytes\r\ny");
    if (exact) {
        answer("past", "length 1000004, 4 bytes\r\npast");
    }
    const process_result lacking = host({PILRO_TEST_ECHO_MODULE, "--replay",
                                         write_in(directory, "crafted.txt", crafted), "--compare"});
    EXPECT_EQ(lacking.exit_code, 1) << lacking.err;
    EXPECT_EQ(lacking.out,
              "request 1: differs\tcaptured (length 1) x\tnow (no block, length 4)\n"
              "request 2: differs\tcaptured (length 9) x\tnow (length 1) x\n"
              "request 3: differs\tcaptured (no reply in the log)\tnow (no block, length 12)\n"
              "request 4: same\n" +
                  std::string(exact ? "request 5: same\n" : ""));

    // pilro's own log, which the run above wrote, has no replies to compare with.
    const process_result none = host(
        {PILRO_TEST_ECHO_MODULE, "--replay", directory + separator + "pilro.txt", "--compare"});
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_TRUE(mentions(none.err, "holds no replies: capture the host's exchange with the relay"))
        << none.err;
}

// The relay's entries as pilro-log shows them: a reply with the request it answers and the
// time, read in its own charset or else its request's; a null reply to a request the log
// lacks; a note, the relay's and the stub's, decoded.
TEST(PilroLog, RelayRepliesAndNotes) {
    const std::string directory = pilro::test::fresh_directory("pilro_log_relay");
    const std::string request = "EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\n\r\n";
    const std::string reply = "SAORI/1.0 200 OK\r\nResult: \x95\x5C\r\n\r\n";
    std::string log = attach + request;
    const std::string answer = "reply(" + std::to_string(log.size()) + ") 1234 us, length 35, " +
                               std::to_string(reply.size()) + " bytes\r\n" + reply + "\r\n\r\n";
    log += answer + "null";
    const std::string null =
        "reply(" + std::to_string(log.size()) + ") 5 us, length 0, no block\r\n\r\n";
    const std::string late = "reply(-) 6 us, length 4, 4 bytes\r\nlate\r\n\r\n";
    // Notes are UTF-8; one of an earlier relay, in the system's code page (here Shift_JIS, some
    // of it UTF-8 by chance), reads as it always did.
    const std::string note =
        "relay() not relaying: cannot load C:\\\xE3\x81\x82\xA0\\foo.orig.dll: error 2: "
        "\x83t\x83@\x83"
        "C\x83\x8B\r\n\r\n";
    const std::string stub_note =
        "stub() no captured reply to the request that ends at byte 5 of "
        "C:\\\xE8\xA1\xA8\\foo.pilro.txt: pilro's answer\r\n\r\n";
    // Its request was in a log since deleted; one whose byte count was damaged.
    const std::string orphan =
        "reply(5 to 4 bytes crc 00000000) 7 us, length 2, 2 bytes\r\nok\r\n\r\n";
    const std::string damaged = "reply(1) 8 us, length 9, 99 bytes\r\nnot 99\r\n\r\n";
    log += null + late + note + stub_note + orphan + damaged + detach;
    const auto size = [](const std::string& entry) { return std::to_string(entry.size()); };
    const process_result run = pilro_log({write_in(directory, "foo.pilro.txt", log)});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out,
              "run 1: 11 entries, 2 requests, 4 replies, " + size(log) +
                  " bytes\n1.1 attach 19\n1.2 request " + size(request) +
                  " EXECUTE SAORI/1.0\\r\\nCharset: Shift_JIS\\r\\n\n1.3 reply " + size(answer) +
                  " (to 1.2, 1234 us, length 35) SAORI/1.0 200 OK\\r\\nResult: 表\\r\\n"
                  "\\r\\n\n1.4 request 4 null\n1.5 reply " +
                  size(null) + " (to 1.4, 5 us, length 0, no block)\n1.6 reply " + size(late) +
                  " (to an unlogged request, 6 us) late\n1.7 note " + size(note) +
                  " not relaying: cannot load C:\\\\\\xE3\\x81\\x82\\xA0\\\\foo.orig.dll: error 2: "
                  "\\x83t\\x83@\\x83C\\x83\\x8B\n1.8 note " +
                  size(stub_note) +
                  " no captured reply to the request that ends at byte 5 of C:\\\\表\\\\foo."
                  "pilro.txt: pilro's answer\n1.9 reply " +
                  size(orphan) + " (to no request, 7 us) ok\n1.10 damaged " + size(damaged) +
                  " reply(1) 8 us, length 9, 99 bytes\\r\\nnot 99\\r\\n\\r\\n\n1.11 detach 19\n");
    EXPECT_TRUE(mentions(run.err, "foo.pilro.txt: entry 1.10, at byte " +
                                      std::to_string(log.size() - damaged.size() - detach.size()) +
                                      ", is a damaged reply entry (its byte count runs past"))
        << run.err;
}

// A run whose load was a loadu is replayed through the module's loadu, with the module's
// directory in UTF-8, or through its load where it has none; a run whose load was a load,
// through load. pilro-log reads loadu's data as UTF-8.
TEST(SaoriHostReplay, LoaduRunsGoThroughLoaduWhereTheModuleHasIt) {
    const std::string directory = pilro::test::fresh_directory("replay_loadu");
    const std::string loadu = "loadu() C:\\\xE8\x83\xBD\\\r\n\r\n";
    const std::string asked = "loaded? SAORI/1.0\r\n\r\n";
    const std::string log = write_in(directory, "foo.pilro.txt",
                                     attach + loadu + asked + unload + detach + attach +
                                         "load() x\r\n\r\n" + asked + unload + detach);
    const std::string echo = std::string(PILRO_TEST_ECHO_MODULE);
    const std::string echo_directory =
        pilro::platform::full_path(echo.substr(0, echo.find_last_of("/\\")));
    const process_result through_loadu = host({echo, "--replay", log, "--run", "1"});
    EXPECT_EQ(through_loadu.out, "loadu " + echo_directory + separator) << through_loadu.err;
    const process_result through_load = host({echo, "--replay", log, "--run", "2"});
    EXPECT_EQ(through_load.out, "load " + echo_directory + separator) << through_load.err;
    const std::string module = place_pilro(directory, "pilro.module");
    const process_result without = host({module, "--replay", log, "--run", "1"});
    EXPECT_EQ(without.exit_code, 0);
    EXPECT_EQ(without.out, "SAORI/1.0 400 Bad Request\r\n\r\n");
    EXPECT_TRUE(mentions(without.err, "exports no loadu, which the run called: its load gets"))
        << without.err;
    EXPECT_TRUE(mentions(pilro::test::read_file(directory + separator + "pilro.txt"),
                         attach + "load() " + native(directory) + separator + "\r\n\r\n"));
    const process_result shown = pilro_log({log, "--run", "1"});
    EXPECT_TRUE(mentions(
        shown.out, "\n1.2 loadu " + std::to_string(loadu.size()) + " C:\\\\能\\\\\n1.3 request"))
        << shown.out;
}

// ---- pilro-place, on made-up modules and relays of every kind

// Its messages with LF line ends, which on Windows are CR LF.
process_result place(std::vector<std::string> args) {
    args.insert(args.begin(), pilro::test::pilro_place());
    process_result run = pilro::test::run_process(args);
    for (std::string* text : {&run.out, &run.err}) {
        text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
    }
    return run;
}

// A made-up relay and stub in a folder of their own (of the machine given), for --from.
std::string made_up_stand_ins(const std::string& directory, unsigned machine = 0x014C) {
    const std::string from = directory + separator + "from";
    EXPECT_TRUE(pilro::test::make_directory(from));
    pilro::test::made_up_module stand_in = pilro::test::module_with({"load", "request", "unload"});
    stand_in.stand_in = true;
    stand_in.machine = machine;
    stand_in.pe32_plus = machine == 0x8664;
    write_in(from, "pilro-relay.dll", pilro::test::pe_file(stand_in).bytes);
    write_in(from, "pilro-stub.dll", pilro::test::pe_file(stand_in).bytes);
    return from;
}

// Whatever is no module of the three exports for the relay's machine is refused with a
// reason, and nothing is written; so is a placement without a relay to place.
TEST(PilroPlace, RefusesDamagedAndForeignFilesAndWritesNothing) {
    const std::string directory = pilro::test::fresh_directory("place_refuses");
    const std::string from = made_up_stand_ins(directory);
    const auto file = [](const pilro::test::made_up_module& m) {
        return pilro::test::pe_file(m).bytes;
    };
    pilro::test::made_up_module program = pilro::test::module_with({"load", "request", "unload"});
    program.dll = false;
    pilro::test::made_up_module wide = pilro::test::module_with({"load", "request", "unload"});
    wide.machine = 0x8664;
    wide.pe32_plus = true;
    pilro::test::made_up_module relay = pilro::test::module_with({"load", "request", "unload"});
    relay.stand_in = true;
    pilro::test::made_up_file damaged =
        pilro::test::pe_file(pilro::test::module_with({"load", "request", "unload"}));
    damaged.bytes[damaged.names + 4] = '\x7F';
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "is no Windows DLL: it is no Windows module"},
        {"just text\r\n", "is no Windows DLL: it is no Windows module (it has no MZ header)"},
        {elf_shared_object(32, false, 3), "is an ELF shared object: pilro-place places Windows"},
        {file(program), "it is a program, not a DLL"},
        {file(wide), "is a 64-bit x86-64 DLL, and the relay at "},
        {file(relay), "it is pilro's relay or stub already"},
        {file(pilro::test::module_with({"load", "unload"})), "it does not export request:"},
        {damaged.bytes, "the name of its export number 2 lies outside the file"},
        {damaged.bytes.substr(0, 0x500), "the file is cut short"},
    };
    for (const auto& [bytes, said] : cases) {
        const std::string module = write_in(directory, "foo.dll", bytes);
        const process_result run = place({"--from", from, module});
        EXPECT_EQ(run.exit_code, 1) << said;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(mentions(run.err, said)) << run.err;
        EXPECT_TRUE(mentions(run.err, "; nothing was written\n")) << run.err;
        EXPECT_FALSE(pilro::test::file_exists(directory + separator + "foo.pilro.dll")) << said;
    }
    // A relay for other modules than this one, none at all, or one that is no relay.
    const std::string module = write_in(directory, "foo.dll", file(wide));
    const std::string empty = directory + separator + "empty";
    ASSERT_TRUE(pilro::test::make_directory(empty));
    write_in(empty, "pilro-stub.dll", file(wide));
    for (const auto& [args, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--from", from, module}, "name a folder that holds a relay for 64-bit x86-64 DLLs"},
             {{"--from", empty, module}, "cannot open " + empty + separator + "pilro-relay.dll"},
             {{"--stub", "--from", empty, module}, "pilro-stub.dll is no stub of this"},
             {{module}, "(the relay beside pilro-place; --from names another folder)"}}) {
        const process_result run = place(args);
        EXPECT_EQ(run.exit_code, 1) << said;
        EXPECT_TRUE(mentions(run.err, said)) << run.err;
    }
    EXPECT_FALSE(pilro::test::file_exists(directory + separator + "foo.pilro.dll"));
}

// The relay with every export of the module beside it, then the stub in its place; a file of
// that name that is neither is left alone, and --undo removes only what pilro-place wrote.
TEST(PilroPlace, WritesReplacesAndUndoesOnlyItsOwnFile) {
    const std::string directory = pilro::test::fresh_directory("place_undo");
    const std::string from = made_up_stand_ins(directory);
    const std::string module = write_in(
        directory, "foo.dll",
        pilro::test::pe_file(pilro::test::module_with({"load", "request", "unload", "sum_of"}))
            .bytes);
    const std::string placed = directory + separator + "foo.pilro.dll";
    const process_result relay = place({"--from", from, module});
    EXPECT_EQ(relay.exit_code, 0) << relay.err;
    EXPECT_EQ(relay.out, "pilro-place: wrote " + placed +
                             ": the relay with every export of foo.dll: load, request and unload "
                             "through the relay, 2 more straight to foo.dll\n");
    const process_result stub = place({"--stub", "--from", from, module});
    EXPECT_EQ(stub.exit_code, 0) << stub.err;
    EXPECT_TRUE(mentions(stub.out, "(in place of the relay or stub that was there): the stub "))
        << stub.out;
    const process_result undone = place({"--undo", module});
    EXPECT_EQ(undone.exit_code, 0) << undone.err;
    EXPECT_EQ(undone.out, "pilro-place: removed " + placed + ", placed for foo.dll\n");
    EXPECT_FALSE(pilro::test::file_exists(placed));
    // Nothing to undo, a relay placed by hand, and another file of that name.
    const std::string hand_placed = pilro::test::read_file(from + separator + "pilro-relay.dll");
    for (const std::string& there : {std::string(), hand_placed, std::string("mine")}) {
        if (!there.empty()) {
            write_in(directory, "foo.pilro.dll", there);
        }
        const process_result kept = place({"--undo", module});
        EXPECT_EQ(kept.exit_code, 1);
        EXPECT_TRUE(mentions(kept.err, there.empty() ? ": nothing to undo"
                                                     : "is no relay or stub that pilro-place "
                                                       "wrote: left as it is"))
            << kept.err;
        EXPECT_EQ(pilro::test::read_file(placed), there);
    }
    const process_result refused = place({"--from", from, module});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_TRUE(mentions(refused.err, "exists and is no relay or stub of pilro's")) << refused.err;
    EXPECT_EQ(pilro::test::read_file(placed), "mine");
    const std::vector<std::vector<std::string>> bad_arguments = {
        {},         {"--undo", "--stub", module}, {"--stub", "--stub", module},
        {"--from"}, {"--what", module},           {module, module}};
    for (const auto& bad : bad_arguments) {
        EXPECT_EQ(place(bad).exit_code, 2);
    }
}

// A relay's capture written by hand: each reply entry names its request by where it ends, its
// size and its CRC-32, as the relay names it; a null reply has no bytes.
struct relay_capture {
    std::string log;
    relay_capture& add(const std::string& entry) {
        log += entry;
        return *this;
    }
    relay_capture& exchange(const std::string& request, unsigned us, const char* reply) {
        log += request;
        const std::string bytes = reply != nullptr ? reply : "";
        log += "reply(" + std::to_string(log.size()) + " to " + std::to_string(request.size()) +
               " bytes crc " + crc(request) + ") " + std::to_string(us) + " us, length " +
               std::to_string(bytes.size()) + ", " +
               (reply != nullptr ? std::to_string(bytes.size()) + " bytes\r\n" + bytes + "\r\n"
                                 : std::string("no block\r\n")) +
               "\r\n";
        return *this;
    }
    static std::string crc(const std::string& bytes) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(pilro::capture::crc32(bytes)));
        return hex;
    }
};

const std::string second_change =
    "GET SHIORI/3.0\r\nCharset: UTF-8\r\nSender: SSP\r\nID: OnSecondChange\r\n\r\n";
const std::string sjis_execute =
    "EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\nArgument0: \x95\x5C\x8E\xA6\r\n\r\n";
const char ok[] = "SHIORI/3.0 200 OK\r\n\r\n";

// Two runs: SHIORI events with their times, SAORI calls (one with a null reply), requests
// without a reply, a note; then a reply without a status, a damaged entry and a reply whose
// request is not in the log.
std::string known_capture() {
    relay_capture c;
    c.add(attach).add("load() C:\\ghost\\\r\n\r\n");
    c.exchange(second_change, 30, ok).exchange(second_change, 10, ok);
    c.exchange(sjis_execute, 5, "SAORI/1.0 400 Bad Request\r\n\r\n").add(get_version);
    c.exchange(second_change, 1000, "SHIORI/3.0 204 No Content\r\n\r\n").add(get_version);
    c.exchange(sjis_execute, 7, nullptr).add(get_version);
    c.exchange(second_change, 20, ok).add("relay() not relaying: a note\r\n\r\n");
    c.add(unload).add(detach).add(attach);
    c.exchange(second_change, 50, "hello\r\n\r\n");
    c.add("reply(1) 8 us, length 9, 99 bytes\r\nnot 99\r\n\r\n");
    c.add("reply(5 to 4 bytes crc 00000000) 70 us, length 2, 2 bytes\r\nok\r\n\r\n");
    c.add(detach);
    return c.log;
}

const std::string known_run_1 =
    "run 1: 9 requests of 3 kinds, 6 replies, 1 note\n"
    "count  200  204  400  other  null  no reply  total us  median us  p95 us  max us  bytes in  "
    "bytes out  kind\n"
    "    4    3    1    0      0     0         0      1060         20    1000    1000       268  "
    "       92  GET SHIORI/3.0 ID: OnSecondChange\n"
    "    2    0    0    1      0     1         0        12          5       7       7       116  "
    "       29  EXECUTE SAORI/1.0 Argument0: 表示\n"
    "    3    0    0    0      0     0         3         -          -       -       -       183  "
    "        0  GET Version SAORI/1.0\n"
    "-----  ---  ---  ---  -----  ----  --------  --------  ---------  ------  ------  --------  "
    "---------  -----\n"
    "    9    3    1    1      0     1         3      1072         10    1000    1000       567  "
    "      121  total\n";

TEST(PilroLog, SummaryCountsStatusesAndTimesOfAKnownCapture) {
    const std::string directory = pilro::test::fresh_directory("pilro_log_summary");
    const std::string log = write_in(directory, "foo.pilro.txt", known_capture());
    const process_result all = pilro_log({log, "--summary"});
    EXPECT_EQ(all.exit_code, 0) << all.err;
    // The median and the 95th percentile by nearest rank: of 10, 20, 30, 1000 the second and
    // the fourth; of 5, 7, 10, 20, 30, 50, 1000 the fourth and the seventh.
    EXPECT_EQ(all.out,
              known_run_1 +
                  "\nrun 2: 1 request of 1 kind, 1 reply, 1 damaged entry, 1 reply to no request\n"
                  "count  200  204  400  other  null  no reply  total us  median us  p95 us  "
                  "max us  bytes in  bytes out  kind\n"
                  "    1    0    0    0      1     0         0        50         50      50      "
                  "50        67          9  GET SHIORI/3.0 ID: OnSecondChange\n"
                  "-----  ---  ---  ---  -----  ----  --------  --------  ---------  ------  "
                  "------  --------  ---------  -----\n"
                  "    1    0    0    0      1     0         0        50         50      50      "
                  "50        67          9  total\n"
                  "\nall runs: 10 requests of 3 kinds, 7 replies, 1 note, 1 damaged entry, 1 "
                  "reply to no request\n"
                  "count  200  204  400  other  null  no reply  total us  median us  p95 us  "
                  "max us  bytes in  bytes out  kind\n"
                  "    5    3    1    0      1     0         0      1110         30    1000    "
                  "1000       335        101  GET SHIORI/3.0 ID: OnSecondChange\n"
                  "    2    0    0    1      0     1         0        12          5       7       "
                  "7       116         29  EXECUTE SAORI/1.0 Argument0: 表示\n"
                  "    3    0    0    0      0     0         3         -          -       -       "
                  "-       183          0  GET Version SAORI/1.0\n"
                  "-----  ---  ---  ---  -----  ----  --------  --------  ---------  ------  "
                  "------  --------  ---------  -----\n"
                  "   10    3    1    1      1     1         3      1122         20    1000    "
                  "1000       634        130  total\n");
    EXPECT_TRUE(mentions(all.err, "foo.pilro.txt: entry 2.4, at byte ")) << all.err;

    // Sorted otherwise: the kinds' order in run 1's table.
    const auto order = [&](const std::vector<std::string>& args) {
        std::vector<std::string> words{log, "--summary", "--run", "1"};
        words.insert(words.end(), args.begin(), args.end());
        const std::string out = pilro_log(words).out;
        std::vector<std::pair<std::size_t, char>> found;
        for (const auto& [kind, letter] : {std::pair<const char*, char>{"OnSecondChange", 'S'},
                                           {"表示", 'A'},
                                           {"Version", 'V'}}) {
            found.emplace_back(out.find(kind), letter);
        }
        std::sort(found.begin(), found.end());
        return std::string{found[0].second, found[1].second, found[2].second};
    };
    EXPECT_EQ(order({}), "SAV");
    EXPECT_EQ(order({"--sort", "count"}), "SVA");
    EXPECT_EQ(order({"--sort", "name"}), "ASV");

    const process_result tsv = pilro_log({log, "--summary", "--tsv"});
    EXPECT_EQ(
        tsv.out.find("run\twhat\tkind\tcount\t200\t204\t400\tother\tnull\tno reply\ttotal "
                     "us\tmedian us\tp95 us\tmax us\tbytes in\tbytes out\n"
                     "1\trequest\tGET SHIORI/3.0 ID: OnSecondChange\t4\t3\t1\t0\t0\t0\t0\t1060"
                     "\t20\t1000\t1000\t268\t92\n"),
        0u)
        << tsv.out;
    for (const char* line : {"\n1\trequest\tGET Version SAORI/1.0\t3\t0\t0\t0\t0\t0\t3\t-\t-\t-\t-"
                             "\t183\t0\n",
                             "\n1\tnote\t\t1\n2\trequest\t", "\nall\treply to no request\t\t1\n"}) {
        EXPECT_TRUE(mentions(tsv.out, line)) << line;
    }

    // A request without a reply among those of its kind with one: the times are those of the
    // others alone.
    relay_capture lost;
    lost.add(attach).exchange(second_change, 30, ok).add(second_change);
    lost.exchange(second_change, 10, ok).add(detach);
    const std::string lost_log = write_in(directory, "lost.txt", lost.log);
    const std::string lost_out = pilro_log({lost_log, "--summary", "--tsv"}).out;
    EXPECT_TRUE(mentions(lost_out,
                         "\nall\trequest\tGET SHIORI/3.0 ID: OnSecondChange\t3\t2\t0\t1"
                         "\t40\t10\t30\t30\t201\t42\n"))
        << lost_out;

    // pilro's own log: no replies, so counts and bytes alone.
    const std::string own = write_in(directory, "pilro.txt", attach + get_version + detach);
    EXPECT_EQ(pilro_log({own, "--summary", "--run", "-1"}).out,
              "run 1: 1 request of 1 kind\ncount  bytes in  kind\n"
              "    1        61  GET Version SAORI/1.0\n-----  --------  -----\n"
              "    1        61  total\n");
    const std::string page = directory + separator + "page.html";
    for (const std::vector<std::string>& bad : {std::vector<std::string>{log, "--tsv"},
                                                {log, "--summary", "--sort", "size"},
                                                {log, "--sort", "count"},
                                                {log, "--summary", "--follow"},
                                                {log, "--html"},
                                                {log, "--html", page, "--run", "1"}}) {
        EXPECT_EQ(pilro_log(bad).exit_code, 2) << bad[1];
    }
}

// The front cut off (an editor, tail -c): every offset is off, and the replies still find
// their requests by size and CRC-32; the end cut off in an entry; two logs joined (cat).
TEST(PilroLog, SummaryOfACutAndAJoinedLog) {
    const std::string directory = pilro::test::fresh_directory("pilro_log_summary_cut");
    const std::string whole = known_capture();
    const std::size_t front = attach.size() + std::string("load() C:\\ghost\\\r\n\r\n").size();
    const std::string cut =
        write_in(directory, "cut.txt", whole.substr(front, whole.size() - front - 5));
    const process_result run = pilro_log({cut, "--summary", "--run", "1"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, known_run_1);
    const process_result all = pilro_log({cut, "--summary"});
    EXPECT_TRUE(mentions(all.out,
                         "\nrun 2: 1 request of 1 kind, 1 reply, 1 damaged entry, 1 "
                         "reply to no request, 1 cut-short entry\n"))
        << all.out;
    EXPECT_TRUE(mentions(all.err, "cut.txt ends in the middle of an entry (its last 14 bytes)"))
        << all.err;

    // A thousand of them: more than the part of a mebibyte that pilro-log reads at a time, so
    // that an entry lies across two parts.
    std::string thousand;
    for (int i = 0; i < 1000; ++i) {
        thousand += whole;
    }
    const std::string joined = write_in(directory, "joined.txt", thousand);
    const process_result both = pilro_log({joined, "--summary", "--tsv"});
    EXPECT_TRUE(mentions(both.out,
                         "\nall\ttotal\t\t10000\t3000\t1000\t1000\t1000\t1000\t3000\t"
                         "1122000\t20\t1000\t1000\t634000\t130000\n"
                         "all\tnote\t\t1000\nall\tdamaged entry\t\t1000\n"
                         "all\treply to no request\t\t1000\n"))
        << both.err;
    EXPECT_TRUE(mentions(both.out, "\n1999\tnote\t\t1\n"));
}

// Exchanges whose texts are markup and script, and a note of that kind.
void add_hostile(relay_capture& c) {
    c.exchange(
        "EXECUTE SAORI/1.0\r\nCharset: UTF-8\r\nArgument0: </script><script>window.pwned"
        "=1</script>\r\n\r\n",
        40, "SAORI/1.0 200 OK\r\nResult: <img src=x onerror=\"window.pwned=2\">\r\n\r\n");
    c.exchange(
        "GET SHIORI/3.0\r\nCharset: UTF-8\r\nID: <img src=x onerror=\"window.pwned=3\">"
        " & &amp; 'it' \xE2\x80\xA8\r\n\r\n",
        900, "SHIORI/3.0 200 OK\r\nValue: \\h\\s[0]</script>\r\n\r\n");
    c.add("relay() <b onmouseover=\"window.pwned=4\">bold</b>\r\n\r\n");
}

// A capture whose texts are markup and script: the page holds them as data alone.
std::string hostile_capture() {
    relay_capture c;
    add_hostile(c.add(attach));
    return c.log;
}

TEST(PilroLog, ReportPageHoldsTheCapturesTextAsDataAlone) {
    const std::string directory = pilro::test::fresh_directory("pilro_log_page");
    const std::string log = write_in(directory, "foo.pilro.txt", hostile_capture());
    const std::string page = directory + separator + "report.html";
    const process_result made = pilro_log({"--html", page, log});
    EXPECT_EQ(made.exit_code, 0) << made.err;
    EXPECT_EQ(made.out, "");
    const std::string html = pilro::test::read_file(page);
    const auto count = [&](const std::string& part) {
        std::size_t n = 0;
        for (std::size_t at = html.find(part); at != std::string::npos;
             at = html.find(part, at + 1)) {
            ++n;
        }
        return n;
    };
    // The page's own two script elements, and no markup, entity or separator of the capture's.
    EXPECT_EQ(count("<script"), 2u);
    EXPECT_EQ(count("</script"), 2u);
    for (const char* part : {"<img", "<b ", "&amp;", "\xE2\x80\xA8", "http:", "https:"}) {
        EXPECT_EQ(count(part), 0u) << part;
    }
    // As JSON strings: the kinds' names, and the texts of the exchanges.
    for (const auto& [part, n] : std::vector<std::pair<const char*, std::size_t>>{
             {"\\u003c/script\\u003e\\u003cscript\\u003ewindow.pwned=1", 2},
             {"onerror=\\\"window.pwned=3\\\"\\u003e \\u0026 \\u0026amp; 'it' \\u2028", 2},
             {"Value: \\\\\\\\h\\\\\\\\s[0]\\u003c/script\\u003e", 1}}) {
        EXPECT_EQ(count(part), n) << part;
    }

    // A text past 2048 bytes is cut, and the page says so.
    const std::string long_request =
        "EXECUTE SAORI/1.0\r\nArgument0: " + std::string(3000, 'a') + "\r\n\r\n";
    relay_capture long_capture;
    // A note in UTF-8, as notes are written now, is shown decoded, as pilro-log shows it.
    long_capture.add(attach)
        .add("relay() cannot load /ghost/\xE8\xA1\xA8.dll\r\n\r\n")
        .exchange(long_request, 1, ok);
    const std::string long_page = directory + separator + "long.html";
    ASSERT_EQ(pilro_log({write_in(directory, "long.txt", long_capture.log), "--html", long_page})
                  .exit_code,
              0);
    const std::string long_html = pilro::test::read_file(long_page);
    EXPECT_TRUE(mentions(long_html, "\"cutTexts\":true"));
    EXPECT_TRUE(mentions(long_html, "Argument0: " + std::string(2048 - 30, 'a') + "\""));
    EXPECT_FALSE(mentions(long_html, std::string(2048 - 29, 'a')));
    EXPECT_TRUE(mentions(long_html, "cannot load /ghost/\xE8\xA1\xA8.dll\""));

    // Never over the log, and never half a page.
    const std::string before = pilro::test::read_file(log);
    const process_result itself = pilro_log({log, "--html", log});
    EXPECT_EQ(itself.exit_code, 1);
    EXPECT_TRUE(mentions(itself.err, "is the log itself")) << itself.err;
    EXPECT_EQ(pilro::test::read_file(log), before);
    const std::string nowhere = directory + separator + "missing" + separator + "report.html";
    const process_result unwritten = pilro_log({log, "--html", nowhere});
    EXPECT_EQ(unwritten.exit_code, 1);
    EXPECT_TRUE(mentions(unwritten.err, "cannot write " + nowhere + ": ")) << unwritten.err;
    // A device that takes no bytes: the write fails only when the file is closed.
    if (pilro::test::file_exists("/dev/full")) {
        const process_result full = pilro_log({log, "--html", "/dev/full"});
        EXPECT_EQ(full.exit_code, 1);
        EXPECT_TRUE(mentions(full.err, "cannot write /dev/full: ")) << full.err;
    }
}

// The page as a user sees it in a browser, over two runs of a ghost's events and the hostile
// exchanges: the table, its sort, an exchange found through its row and another through its
// point, a note, and nothing of the capture's run as script or made into markup.
TEST(PilroLog, ReportPageInABrowser) {
#ifndef PILRO_REPORT_BROWSER
    GTEST_SKIP() << "the browser test runs in the native build (the page is the same)";
#else
    if (!pilro::test::file_exists(PILRO_PYTHON3)) {
        GTEST_SKIP() << "no python3 to drive the browser (scripts/setup test brings it)";
    }
    const std::string directory = pilro::test::fresh_directory("pilro_log_browser");
    relay_capture c;
    const char* const events[] = {"OnSecondChange", "OnMouseMove", "OnTranslate", "OnBoot"};
    for (unsigned run = 1; run <= 2; ++run) {
        c.add(attach).add("load() C:\\ghost\\master\\\r\n\r\n");
        if (run == 1) {
            add_hostile(c);
        }
        for (unsigned i = 0; i < 60; ++i) {
            const unsigned k = i == 0 ? 3 : i % 2 == 0 ? 0 : i % 4 == 1 ? 1 : 2;
            const std::string request =
                "GET SHIORI/3.0\r\nCharset: UTF-8\r\nSender: SSP\r\nID: " + std::string(events[k]) +
                "\r\nReference0: " + std::to_string(i) + "\r\n\r\n";
            const unsigned us = run * ((k + 1) * 60 + i * 37 % 50 + (i % 20 == 7 ? 4000 : 0));
            c.exchange(request, us, i % 29 == 5 ? "SHIORI/3.0 204 No Content\r\n\r\n" : ok);
        }
        if (run == 2) {
            c.add("reply(1) 8 us, length 9, 99 bytes\r\nnot 99\r\n\r\n");
        }
        c.add(unload).add(detach);
    }
    write_in(directory, "browser.pilro.txt", c.log);
    const std::string page = directory + separator + "report.html";
    // The log named as a user in its folder names it, as the page shows it.
    const std::string before = pilro::test::current_directory();
    ASSERT_TRUE(pilro::test::change_directory(directory));
    const int made = pilro_log({"browser.pilro.txt", "--html", page}).exit_code;
    ASSERT_TRUE(pilro::test::change_directory(before));
    ASSERT_EQ(made, 0);
    const std::string profile = directory + separator + "profile";
    ASSERT_TRUE(pilro::test::make_directory(profile));
    // Exchange 70 is request 9 of run 2.
    const process_result run =
        pilro::test::run_process({PILRO_PYTHON3, PILRO_REPORT_BROWSER, page,
                                  PILRO_REPORT_SCREENSHOT, profile, "onerror", "70"},
                                 std::string(), 900000);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const auto starts = [](const std::string& text, const std::string& start) {
        return text.compare(0, start.size(), start) == 0;
    };
    std::map<std::string, std::string> seen;
    for (std::size_t at = 0; at < run.out.size();) {
        const std::size_t end = run.out.find('\n', at);
        const std::string line = run.out.substr(at, end - at);
        seen[line.substr(0, line.find('\t'))] = line.substr(line.find('\t') + 1);
        at = end == std::string::npos ? end : end + 1;
    }
    if (seen.count("skip") > 0) {
        GTEST_SKIP() << seen["skip"];
    }
    EXPECT_EQ(seen["rows"], "6");
    EXPECT_TRUE(starts(seen["total"], "total|122|")) << seen["total"];
    // By total time: the spikes are OnTranslate's.
    EXPECT_TRUE(starts(seen["kinds"],
                       "GET SHIORI/3.0 ID: OnTranslate|GET SHIORI/3.0 ID: "
                       "OnSecondChange|"))
        << seen["kinds"];
    EXPECT_TRUE(starts(seen["kinds by count"], "GET SHIORI/3.0 ID: OnSecondChange|"))
        << seen["kinds by count"];
    EXPECT_TRUE(starts(seen["kinds by count ascending"],
                       "EXECUTE SAORI/1.0 Argument0: "
                       "</script><script>window.pwned=1"))
        << seen["kinds by count ascending"];
    EXPECT_EQ(seen["list"], "1.5  200, 900 us");
    EXPECT_TRUE(mentions(seen["exchange"],
                         "ID: <img src=x onerror=\"window.pwned=3\"> & &amp; 'it' "
                         "\xE2\x80\xA8\\nReference0") ||
                mentions(seen["exchange"],
                         "ID: <img src=x onerror=\"window.pwned=3\"> & &amp; 'it' "
                         "\xE2\x80\xA8|"))
        << seen["exchange"];
    EXPECT_TRUE(mentions(seen["exchange"], "[0]</script>")) << seen["exchange"];
    EXPECT_TRUE(starts(seen["point"],
                       "Request 2.19, number 9 of its run: GET SHIORI/3.0 ID: "
                       "OnSecondChange|"))
        << seen["point"];
    EXPECT_TRUE(mentions(seen["mark"], "|<b onmouseover=\"window.pwned=4\">bold</b>"))
        << seen["mark"];
    EXPECT_EQ(seen["title"], "pilro-log: browser.pilro.txt");
    EXPECT_EQ(seen["pwned"], "undefined");
    EXPECT_EQ(seen["elements"], "2");
    EXPECT_EQ(seen["violations"], "");
    EXPECT_EQ(seen["dialogs"], "0");
    EXPECT_EQ(seen["exceptions"], "0");
#endif
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
