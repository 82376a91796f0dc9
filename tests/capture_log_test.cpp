// What both tools share: a captured log read into entries and runs, and the charsets that
// requests are written and read in.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_file.h"
#include "capture/capture_log.h"
#include "platform/charset.h"
#include "test_os.h"

namespace {

using pilro::capture::entry_kind;

const std::string attach = "DllMain(Attach)\r\n\r\n";
const std::string detach = "DllMain(Detach)\r\n\r\n";
const std::string unload = "unload()\r\n\r\n";
const std::string version = "GET Version SAORI/1.0\r\nCharset: UTF-8\r\n\r\n";
// "表" in Shift_JIS ends in 0x5C.
const std::string execute =
    "EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\nArgument0: \x95\x5C\r\n\r\n";

std::string load(const std::string& data) {
    return "load() " + data + "\r\n\r\n";
}

using entry_list = std::vector<std::pair<entry_kind, std::string>>;

entry_list entries_of(const std::string& log) {
    entry_list found;
    for (const pilro::capture::entry& e : pilro::capture::split_entries(log)) {
        found.emplace_back(e.kind, std::string(pilro::capture::entry_bytes(log, e)));
    }
    return found;
}

std::vector<entry_list> runs_of(const std::string& log) {
    std::vector<entry_list> found;
    for (const pilro::capture::run& run : pilro::capture::split_runs(log)) {
        found.emplace_back();
        for (const pilro::capture::entry& e : run.entries) {
            found.back().emplace_back(e.kind, std::string(pilro::capture::entry_bytes(log, e)));
        }
    }
    return found;
}

TEST(CaptureLog, PilrosOwnEntriesByTheirTextsAndRequestsUpToTheEmptyLine) {
    // Load data with line breaks in it, and ending in two: only the empty line after it ends
    // the entry, with all the line breaks that follow that (no entry starts with one).
    // The relay's loadu entry is read the same way.
    const std::string data = "C:\\ghost\\saori\\\r\nsecond line\r\n\r\n";
    const std::string loadu = "loadu() " + data + "\r\n\r\n";
    const std::string log = attach + load(data) + loadu + version + execute + unload + detach;
    EXPECT_EQ(entries_of(log), (entry_list{{entry_kind::attach, attach},
                                           {entry_kind::load, load(data)},
                                           {entry_kind::loadu, loadu},
                                           {entry_kind::request, version},
                                           {entry_kind::request, execute},
                                           {entry_kind::unload, unload},
                                           {entry_kind::detach, detach}}));
    const auto entries = pilro::capture::split_entries(log);
    EXPECT_EQ(pilro::capture::load_data(log, entries[1]), data);
    EXPECT_EQ(pilro::capture::load_data(log, entries[2]), data);
}

TEST(CaptureLog, ALogCutShortEndsInOneCutShortEntryHoldingTheRest) {
    const struct {
        const char* what;
        std::string tail;
    } cuts[] = {
        {"in a request", "EXECUTE SAORI/1.0\r\nArgument0: \x95"},
        {"after a request's last header line", "EXECUTE SAORI/1.0\r\nArgument0: x\r\n"},
        {"in load data", "load() C:\\ghost\r\n"},
        {"in an entry of pilro's own", "DllMain(Det"},
    };
    for (const auto& cut : cuts) {
        const std::string log = attach + version + cut.tail;
        EXPECT_EQ(entries_of(log), (entry_list{{entry_kind::attach, attach},
                                               {entry_kind::request, version},
                                               {entry_kind::cut_short, cut.tail}}))
            << cut.what;
        const auto runs = runs_of(log);
        ASSERT_EQ(runs.size(), 1u) << cut.what;
        EXPECT_EQ(runs[0].back().first, entry_kind::cut_short) << cut.what;
    }
    // While the log is being written, a load entry at its end may yet get CR LF of its own.
    using pilro::capture::entry_at;
    const std::string growing = attach + load("x");
    EXPECT_EQ(entry_at(growing, attach.size(), true).kind, entry_kind::cut_short);
    EXPECT_EQ(entry_at(growing + "\r", attach.size(), true).kind, entry_kind::cut_short);
    EXPECT_EQ(entry_at(growing, attach.size()).kind, entry_kind::load);
    EXPECT_EQ(entry_at(attach + "loadu() x\r\n\r\n", attach.size(), true).kind,
              entry_kind::cut_short);
    EXPECT_EQ(entry_at(growing + "\r\n" + version, attach.size(), true).size, load("x\r\n").size());
}

// The relay's reply entry for the request that ends the log so far.
std::string reply_to(const std::string& log, const std::string& bytes, const char* length) {
    return "reply(" + std::to_string(log.size()) + ") 12 us, length " + length + ", " +
           std::to_string(bytes.size()) + " bytes\r\n" + bytes + "\r\n\r\n";
}

TEST(CaptureLog, RelayRepliesGoByTheirByteCountAndAreCutShortWhenTheLogEnds) {
    // A request without its closing empty line, answered with empty lines, no closing one
    // and a byte that is no text; a null reply; a note; a reply that names a later offset
    // (the log was deleted while its request was inside the real module).
    std::string log = attach + "GET Version SAORI/1.0";
    const std::string first = reply_to(log, "A\r\n\r\n\r\nB\xFF", "-9");
    log += first + version;
    const std::string null =
        "reply(" + std::to_string(log.size()) + ") 3 us, length -, no block\r\n\r\n";
    const std::string note = "relay() not relaying: cannot load x\r\n\r\n";
    const std::string later = "reply(9999) 3 us, length 0, no block\r\n\r\n";
    log += null + note + later;
    EXPECT_EQ(entries_of(log), (entry_list{{entry_kind::attach, attach},
                                           {entry_kind::request, "GET Version SAORI/1.0"},
                                           {entry_kind::reply, first},
                                           {entry_kind::request, version},
                                           {entry_kind::reply, null},
                                           {entry_kind::note, note},
                                           {entry_kind::reply, later}}));
    const auto entries = pilro::capture::split_entries(log);
    // So it does where the bytes read begin further on in the file, as for a log followed.
    EXPECT_EQ(pilro::capture::entry_at(log.substr(attach.size()), 0, true, attach.size()).size,
              entries[1].size);
    const pilro::capture::reply r = pilro::capture::read_reply(log, entries[2]);
    EXPECT_TRUE(r.paired && r.block && r.has_length);
    EXPECT_EQ(r.request_end, entries[2].offset);
    EXPECT_EQ(r.microseconds, 12u);
    EXPECT_EQ(r.length, -9);
    EXPECT_EQ(r.bytes, "A\r\n\r\n\r\nB\xFF");
    const pilro::capture::reply n = pilro::capture::read_reply(log, entries[4]);
    EXPECT_TRUE(n.paired && !n.block && !n.has_length);
    EXPECT_EQ(pilro::capture::note_text(log, entries[5]), "not relaying: cannot load x");

    // Cut in its first line, in its bytes (after an empty line of theirs) and in its closing
    // empty line, a reply is an entry cut short, for a reader that waits for the rest.
    const std::string whole = attach + version + reply_to(attach + version, "A\r\n\r\nB", "5");
    const std::size_t at = attach.size() + version.size();
    for (const std::size_t cut : {at + 10, at + 41, whole.size() - 1}) {
        EXPECT_EQ(entries_of(whole.substr(0, cut)),
                  (entry_list{{entry_kind::attach, attach},
                              {entry_kind::request, version},
                              {entry_kind::cut_short, whole.substr(at, cut - at)}}))
            << cut;
    }
}

// The relay's reply entry as it writes it now: naming the request by where its entry ends in
// the log so far, its size and its CRC-32.
std::string reply_naming(std::size_t at, const std::string& request, const std::string& bytes) {
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(pilro::capture::crc32(request)));
    return "reply(" + std::to_string(at) + " to " + std::to_string(request.size()) + " bytes crc " +
           crc + ") 5 us, length " + std::to_string(bytes.size()) + ", " +
           std::to_string(bytes.size()) + " bytes\r\n" + bytes + "\r\n\r\n";
}

// "R.K>R.N" for each reply: entry K of run R answers entry N, or "none".
std::vector<std::string> pairs_of(const std::string& log) {
    std::vector<std::string> found;
    const auto runs = pilro::capture::split_runs(log);
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::string run = std::to_string(r + 1) + ".";
        for (std::size_t k = 0; k < runs[r].entries.size(); ++k) {
            const pilro::capture::entry& e = runs[r].entries[k];
            if (e.kind == entry_kind::reply) {
                found.push_back(run + std::to_string(k + 1) + ">" +
                                (e.request == pilro::capture::no_request
                                     ? std::string("none")
                                     : run + std::to_string(e.request + 1)));
            }
        }
    }
    return found;
}

TEST(CaptureLog, RepliesPairInTheirRunHoweverTheLogWasCutDeletedOrJoined) {
    EXPECT_EQ(pilro::capture::crc32("123456789"), 0xCBF43926u);  // zlib's, every CRC-32's
    // Two threads' requests answered the other way round; the same request twice; a request
    // without its closing empty line, which ends where its reply begins.
    std::string log = attach + version + execute;
    log += reply_naming(log.size(), execute, "B") +
           reply_naming(attach.size() + version.size(), version, "A");
    log += version;
    log += reply_naming(log.size(), version, "C") + "GET SHIORI/3.0";
    log += reply_naming(log.size(), "GET SHIORI/3.0", "D") + detach;
    const std::vector<std::string> run = {"1.4>1.3", "1.5>1.2", "1.7>1.6", "1.9>1.8"};
    EXPECT_EQ(pairs_of(log), run);
    // Joined: each copy pairs in itself, wherever it now stands. Cut at the front: the pairs
    // hold.
    EXPECT_EQ(pairs_of(log + log),
              (std::vector<std::string>{"1.4>1.3", "1.5>1.2", "1.7>1.6", "1.9>1.8", "2.4>2.3",
                                        "2.5>2.2", "2.7>2.6", "2.9>2.8"}));
    EXPECT_EQ(pairs_of(attach + detach + log),
              (std::vector<std::string>{"2.4>2.3", "2.5>2.2", "2.7>2.6", "2.9>2.8"}));
    EXPECT_EQ(pairs_of(log.substr(attach.size())),
              (std::vector<std::string>{"1.3>1.2", "1.4>1.1", "1.6>1.5", "1.8>1.7"}));
    // Deleted while a call was inside the real module: the new log begins with its reply. A
    // request in another run (a process that ended inside it) is no pair for it.
    const std::string after = log.substr(log.find("reply(", log.find("reply(") + 1));
    EXPECT_EQ(pairs_of(after), (std::vector<std::string>{"1.1>none", "1.3>1.2", "1.5>1.4"}));
    EXPECT_EQ(entries_of(after)[0].first, entry_kind::reply);
    // Nor is one that another reply answered.
    EXPECT_EQ(pairs_of(attach + version + attach + reply_naming(99, version, "A")),
              (std::vector<std::string>{"2.2>none"}));
    EXPECT_EQ(
        pairs_of(attach + version + reply_naming(attach.size() + version.size(), version, "A") +
                 reply_naming(99, version, "B")),
        (std::vector<std::string>{"1.3>1.2", "1.4>none"}));
    // Once a run's offsets are known to be off, identical requests pair by them.
    std::string same = attach + execute;
    same += reply_naming(same.size(), execute, "B") + version + version;
    same += reply_naming(same.size() - version.size(), version, "1") +
            reply_naming(same.size(), version, "2");
    EXPECT_EQ(pairs_of(same.substr(attach.size())),
              (std::vector<std::string>{"1.2>1.1", "1.5>1.3", "1.6>1.4"}));
    // Two requests of one size wait: each reply goes with its own by the CRC-32, also where no
    // offset holds.
    std::string twin = execute;
    twin.replace(twin.find("\x95\x5C"), 2, "ab");
    std::string twins = attach + execute + twin;
    twins += reply_naming(attach.size() + execute.size(), execute, "E") +
             reply_naming(twins.size(), twin, "T");
    EXPECT_EQ(pairs_of(twins.substr(attach.size())),
              (std::vector<std::string>{"1.3>1.1", "1.4>1.2"}));

    // An earlier relay's replies name an offset alone: where it holds nowhere in the run, the
    // reply goes with a waiting request right before it, and the run's other offsets are off by
    // as much.
    std::string old = attach + version;
    old += reply_to(old, "A", "1") + execute;
    old += reply_to(old, "B", "1") + detach;
    EXPECT_EQ(pairs_of(old.substr(attach.size())),
              (std::vector<std::string>{"1.2>1.1", "1.4>1.3"}));
    EXPECT_EQ(pairs_of(old + old),
              (std::vector<std::string>{"1.3>1.2", "1.5>1.4", "2.3>2.2", "2.5>2.4"}));
    // Not with one that another entry stands between.
    const std::string apart =
        attach + version + "relay() not relaying: x\r\n\r\n" + reply_to(attach + version, "A", "1");
    EXPECT_EQ(pairs_of(apart.substr(attach.size())), (std::vector<std::string>{"1.3>none"}));
}

TEST(CaptureLog, DamagedReplyEntriesEndWhereAnEntrySurelyStarts) {
    const struct {
        const char* what;
        std::string entry;
        const char* why;
    } damaged[] = {
        {"bad first line", "reply(12) x us\r\nSAORI/1.0 200 OK\r\n\r\n\r\n\r\n",
         "its first line is not a reply's"},
        {"count past the log", "reply(5) 1 us, length 3, 99 bytes\r\nabc\r\n\r\n",
         "its byte count runs past the entries that follow it"},
        {"count short", "reply(5) 1 us, length 3, 2 bytes\r\nabc\r\n\r\n",
         "its bytes are not followed by an empty line where its byte count says"},
    };
    for (const auto& d : damaged) {
        for (const std::string& next : {version, unload, std::string("GET SHIORI/3.0\r\n\r\n")}) {
            const std::string log = attach + d.entry + next + detach;
            const auto entries = pilro::capture::split_entries(log);
            EXPECT_EQ(entries_of(log),
                      (entry_list{{entry_kind::attach, attach},
                                  {entry_kind::damaged, d.entry},
                                  {next == unload ? entry_kind::unload : entry_kind::request, next},
                                  {entry_kind::detach, detach}}))
                << d.what;
            EXPECT_EQ(pilro::capture::damage(log, entries[1]), d.why) << d.what;
            // While the log grows, what follows may not be there yet.
            EXPECT_EQ(pilro::capture::entry_at(attach + d.entry, attach.size(), true).kind,
                      entry_kind::cut_short)
                << d.what;
        }
    }
}

TEST(CaptureLog, RunsGoFromAttachToDetachAndStrayEntriesMakeRunsOfTheirOwn) {
    // Before the first attach (a log begun in mid-run), a process that ended without its
    // detach entry, and requests after the last detach.
    const std::string log = version + unload + detach + attach + load("a") + execute + unload +
                            detach + attach + version + attach + detach + execute + version;
    EXPECT_EQ(runs_of(log), (std::vector<entry_list>{
                                {{entry_kind::request, version},
                                 {entry_kind::unload, unload},
                                 {entry_kind::detach, detach}},
                                {{entry_kind::attach, attach},
                                 {entry_kind::load, load("a")},
                                 {entry_kind::request, execute},
                                 {entry_kind::unload, unload},
                                 {entry_kind::detach, detach}},
                                {{entry_kind::attach, attach}, {entry_kind::request, version}},
                                {{entry_kind::attach, attach}, {entry_kind::detach, detach}},
                                {{entry_kind::request, execute}, {entry_kind::request, version}},
                            }));
}

TEST(CaptureLog, OnlyPilrosOwnEntriesEmptyAndMissingFiles) {
    const std::string own = attach + detach + attach + load("") + unload + detach;
    const auto runs = runs_of(own);
    ASSERT_EQ(runs.size(), 2u);
    for (const entry_list& run : runs) {
        for (const auto& e : run) {
            EXPECT_NE(e.first, entry_kind::request) << e.second;
        }
    }

    const std::string directory = pilro::test::fresh_directory("capture_files");
    const std::string empty = directory + pilro::test::separator + "empty.txt";
    ASSERT_TRUE(pilro::test::write_file(empty, ""));
    std::string bytes = "left over";
    std::string error;
    EXPECT_TRUE(pilro::capture::read_log(empty, bytes, error)) << error;
    EXPECT_EQ(bytes, "");
    EXPECT_TRUE(pilro::capture::split_runs(bytes).empty());

    const std::string missing = directory + pilro::test::separator + "missing.txt";
    EXPECT_FALSE(pilro::capture::read_log(missing, bytes, error));
    EXPECT_EQ(error.find("cannot open " + missing + ": "), 0u) << error;
}

TEST(CaptureLog, RunNumbersCountFromTheFirstOrTheLastRun) {
    long long n = 0;
    for (const auto& [text, value] :
         {std::pair<const char*, long long>{"1", 1}, {"-1", -1}, {"12", 12}, {"-3", -3}}) {
        EXPECT_TRUE(pilro::capture::parse_run_number(text, n)) << text;
        EXPECT_EQ(n, value) << text;
    }
    for (const char* bad : {"0", "-0", "", "-", "1x", "+1", " 1", "1 ", "9999999999999999999"}) {
        EXPECT_FALSE(pilro::capture::parse_run_number(bad, n)) << bad;
    }
    std::size_t index = 99;
    std::string error;
    for (const auto& [number, expected] :
         {std::pair<long long, std::size_t>{1, 0}, {3, 2}, {-1, 2}, {-3, 0}}) {
        EXPECT_TRUE(pilro::capture::find_run(3, number, index, error)) << number;
        EXPECT_EQ(index, expected) << number;
    }
    for (const long long number : {4LL, -4LL}) {
        EXPECT_FALSE(pilro::capture::find_run(3, number, index, error)) << number;
    }
    EXPECT_FALSE(pilro::capture::find_run(0, -1, index, error));
}

TEST(CaptureLog, ARequestsCharsetIsItsCharsetHeaderLine) {
    EXPECT_EQ(pilro::capture::request_charset(execute), "Shift_JIS");
    EXPECT_EQ(pilro::capture::request_charset("EXECUTE SAORI/1.0\r\ncharset:  EUC-JP \r\n\r\n"),
              "EUC-JP");
    // Not a header line: the request line, another header's value, a longer name.
    for (const char* none : {"EXECUTE Charset: UTF-8\r\n\r\n",
                             "EXECUTE SAORI/1.0\r\nArgument0: Charset: UTF-8\r\n\r\n",
                             "EXECUTE SAORI/1.0\r\nCharsets: UTF-8\r\n\r\n",
                             "EXECUTE SAORI/1.0\r\n\r\nCharset: UTF-8\r\n"}) {
        EXPECT_EQ(pilro::capture::request_charset(none), "") << none;
    }
}

std::string readable(const char* charset_name, const std::string& bytes) {
    pilro::charset::reader reader(pilro::charset::find_charset(charset_name));
    return reader.readable(bytes);
}

TEST(Charsets, ReadingShowsEveryCharacterAndEscapesEveryOtherByte) {
    // Shift_JIS: a 0x5C trail byte stays in its character; a lead byte with no trail, a
    // trail that cannot follow, a pair with no character and a byte that starts none are
    // each "\xNN", and what follows them is read on.
    EXPECT_EQ(readable("Shift_JIS", "\x95\x5C\x8E\xA6\\\xB1"), "表示\\\\ｱ");
    // 0x80 is a trail byte, though it starts nothing.
    EXPECT_EQ(readable("sjis", "a\x80\x95 \x85\x40z\x81\x80\x95"), "a\\x80\\x95 \\x85@z÷\\x95");
    // UTF-8: cut short, overlong, a surrogate; C1 controls, the first and the last.
    EXPECT_EQ(readable("UTF-8", "\xE8\xA1\xA8|\xE8\xA1|\xC0\xAF|\xED\xA0\x80|\xC2\x80\xC2\x9F"),
              "表|\\xE8\\xA1|\\xC0\\xAF|\\xED\\xA0\\x80|\\u0080\\u009F");
    EXPECT_EQ(readable("windows-1252", "\x80\x81\xE9"), "€\\x81é");
    EXPECT_EQ(readable("EUC-JP", "\xC9\xBD\x8E\xB1\xA1"), "表ｱ\\xA1");
    // No charset, or one not known here: ASCII only. Control characters in every case.
    EXPECT_EQ(readable("x-unknown", "\x95\x5C\r\n\t\x01\x7F"), "\\x95\\\\\\r\\n\\t\\x01\\x7F");
    // One reader for many texts, as for a log's requests: characters that share a lead byte,
    // a pair with no character, and two whose bytes would meet if the lead were shifted by
    // less than a byte, read the second time as the first.
    pilro::charset::reader sjis(pilro::charset::find_charset("Shift_JIS"));
    for (int time = 0; time < 2; ++time) {
        EXPECT_EQ(sjis.readable("\x95\x5C\x95\x40\x85\x40\x85\x40\xB1"), "表鼻\\x85@\\x85@ｱ");
        EXPECT_EQ(sjis.readable("\x82\xC0\x83\x40"), "ぢァ");
    }
}

TEST(Charsets, WritingRefusesWhatTheCharsetHoldsOnlyAsALookAlike) {
    const pilro::charset::charset* sjis = pilro::charset::find_charset("Shift_JIS");
    ASSERT_NE(sjis, nullptr);
    for (const char* spelling : {"SHIFT_JIS", "shift-jis", "SJIS", "x-sjis", "Windows-31J", "CP932",
                                 "ms932", " Shift_JIS "}) {
        EXPECT_EQ(pilro::charset::find_charset(spelling), sjis) << spelling;
    }
    EXPECT_EQ(pilro::charset::find_charset("Shift_JIS-2004"), nullptr);

    std::string out;
    std::string error;
    EXPECT_TRUE(pilro::charset::encode(*sjis, "表示~\\ｱ", out, error)) << error;
    EXPECT_EQ(out, "\x95\x5C\x8E\xA6~\\\xB1");
    // YEN SIGN and OVERLINE: best fits to 0x5C and 0x7E in some converters.
    for (const char* look_alike : {"\xC2\xA5", "\xE2\x80\xBE"}) {
        out = "kept";
        EXPECT_FALSE(pilro::charset::encode(*sjis, look_alike, out, error)) << look_alike;
        EXPECT_EQ(out, "kept");
    }
    EXPECT_FALSE(pilro::charset::encode(*sjis, "a\xED\x95\x9C", out, error));
    EXPECT_EQ(error, "U+D55C is not in Shift_JIS");

    out.clear();
    const pilro::charset::charset* cp1252 = pilro::charset::find_charset("cp1252");
    ASSERT_NE(cp1252, nullptr);
    EXPECT_TRUE(pilro::charset::encode(*cp1252, "€é", out, error)) << error;
    EXPECT_EQ(out, "\x80\xE9");
    EXPECT_FALSE(pilro::charset::encode(*pilro::charset::find_charset("latin1"), "€", out, error));
}

}  // namespace
