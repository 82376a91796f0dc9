// Replies to request texts shaped like the ones hosts send.
#include <gtest/gtest.h>

#include <string>

#include "request/request.h"

namespace {

using pilro::build_reply;

const std::string ok = "SAORI/1.0 200 OK\r\n\r\n";
const std::string no_content = "SAORI/1.0 204 No Content\r\n\r\n";
const std::string bad = "SAORI/1.0 400 Bad Request\r\n\r\n";

TEST(BuildReply, AnswersTheTwoMethodsAndIgnoresHeaders) {
    EXPECT_EQ(build_reply("GET Version SAORI/1.0\r\nCharset: Shift_JIS\r\nSender: X\r\n\r\n"), ok);
    EXPECT_EQ(build_reply("EXECUTE SAORI/1.0\r\nCharset: Shift_JIS\r\nSender: X\r\n"
                          "SecurityLevel: local\r\nArgument0: \x95\x5C\x8E\xA6\r\n"
                          "Argument1: caf\xC3\xA9\r\nArgument2: \r\n\r\n"),
              no_content);
}

TEST(BuildReply, EchoesTheRequestsProtocolTokenButNotFor400) {
    EXPECT_EQ(build_reply("GET Version SAORI/1.1\r\n\r\n"), "SAORI/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(build_reply("EXECUTE SAORI/2.0 beta\r\n\r\n"),
              "SAORI/2.0 beta 204 No Content\r\n\r\n");
    EXPECT_EQ(build_reply("NOTIFY SAORI/1.1\r\n\r\n"), bad);
    // With no CR LF the token runs to the end of the text; a lone LF or CR does not end it.
    EXPECT_EQ(build_reply("EXECUTE SAORI/1.0"), no_content);
    EXPECT_EQ(build_reply("EXECUTE SAORI/1.0\nX: y"), "SAORI/1.0\nX: y 204 No Content\r\n\r\n");
    EXPECT_EQ(build_reply("EXECUTE SAORI/1.0\rX: y\r\n"), "SAORI/1.0\rX: y 204 No Content\r\n\r\n");
}

TEST(BuildReply, MethodMustMatchWholeAndExactly) {
    for (const char* request : {
             "get version SAORI/1.0\r\n\r\n",   // letter case
             "Execute SAORI/1.0\r\n\r\n",       //
             "EXECUTE  SAORI/1.0\r\n\r\n",      // a second blank ends the method in a blank
             " EXECUTE SAORI/1.0\r\n\r\n",      // leading blank
             "GET Version2 SAORI/1.0\r\n\r\n",  // longer
             "GET SAORI/1.0\r\n\r\n",           // shorter
             "EXEC SAORI/1.0\r\n\r\n",          //
             " SAORI/1.0\r\n\r\n",              // empty method
         }) {
        EXPECT_EQ(build_reply(request), bad) << request;
    }
}

TEST(BuildReply, OnlyTheFirstSeparatorCountsWhereverItStands) {
    // The request line lacks it; a header line has it, so the method spans the line break.
    EXPECT_EQ(build_reply("EXECUTE\r\nSender: a SAORI/1.0\r\n\r\n"), bad);
    // The separator is case-sensitive and needs its blank.
    EXPECT_EQ(build_reply("EXECUTE saori/1.0\r\n\r\n"), bad);
    EXPECT_EQ(build_reply("EXECUTESAORI/1.0\r\n\r\n"), bad);
    EXPECT_EQ(build_reply("EXECUTE SAORI/1.0 SAORI/9\r\n\r\n"),
              "SAORI/1.0 SAORI/9 204 No Content\r\n\r\n");
}

TEST(BuildReply, SlashesAndPartialSeparatorsBeforeTheRealOneAreSkipped) {
    EXPECT_EQ(build_reply("EXECUTE/1 SAORI/1.0\r\n\r\n"), bad);
    EXPECT_EQ(build_reply("/ SAORI/1.0\r\n\r\n"), bad);
    EXPECT_EQ(build_reply("GET Version SAORI/1.0/x\r\nA: /SAORI/ SAORI/2\r\n\r\n"),
              "SAORI/1.0/x 200 OK\r\n\r\n");
    EXPECT_EQ(build_reply("EXECUTE SAORI SAORI/1.0\r\n\r\n"), bad);  // method "EXECUTE SAORI"
    EXPECT_EQ(build_reply("EXECUTE SAORI/"), "SAORI/ 204 No Content\r\n\r\n");
    EXPECT_EQ(build_reply("SAORI/"), bad);
    EXPECT_EQ(build_reply(" SAORI/"), bad);
}

TEST(BuildReply, TextsWithoutSeparatorGet400) {
    EXPECT_EQ(build_reply(""), bad);
    EXPECT_EQ(build_reply("\r\n\r\n"), bad);
    EXPECT_EQ(build_reply("GET Version\r\n\r\n"), bad);
}

TEST(BuildReply, TextEndsAtItsFirstNul) {
    const std::string request("EXECUTE SAORI/1.0\r\n\0GET Version SAORI/1.0\r\n\r\n", 46);
    EXPECT_EQ(build_reply(request.c_str()), no_content);
    const std::string hidden("GET\0 Version SAORI/1.0\r\n\r\n", 26);
    EXPECT_EQ(build_reply(hidden.c_str()), bad);
}

}  // namespace
