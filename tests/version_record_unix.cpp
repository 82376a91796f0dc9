// The POSIX module files carry the version record as "Key=Value" strings in a section of their
// own: the same version in each, and what differs says which module file it is.
#include <gtest/gtest.h>

#include <string>

#include "test_os.h"

namespace {

TEST(VersionRecord, SharedObjectCarriesEveryValue) {
    const struct {
        std::string path;
        std::string comments;
        std::string description;
        std::string name;
    } modules[] = {
        {pilro::test::built_module(),
         "\xE3\x83\xAD\xE3\x83\xBC\xE3\x83\x89\xE3\x83\xBB\xE3\x82\xA2\xE3\x83\xB3\xE3\x83\xAD"
         "\xE3\x83\xBC\xE3\x83\x89\xE3\x83\xAD\xE3\x82\xB0\xE5\x8F\x96\xE5\xBE\x97SAORI",
         "pilro \"PILRO\"", "pilro"},
        {pilro::test::built_relay(),
         "\xE4\xB8\xAD\xE7\xB6\x99\xE3\x83\xBB\xE9\x80\x81\xE5\x8F\x97\xE4\xBF\xA1\xE3\x83\xAD"
         "\xE3\x82\xB0\xE5\x8F\x96\xE5\xBE\x97SAORI",
         "pilro-relay: relays to the real SAORI module and logs both directions", "pilro-relay"},
        {pilro::test::built_stub(),
         "\xE8\xA8\x98\xE9\x8C\xB2\xE5\x86\x8D\xE7\x94\x9F\xE3\x83\xBB\xE9\x80\x81\xE5\x8F\x97"
         "\xE4\xBF\xA1\xE3\x83\xAD\xE3\x82\xB0\xE5\x8F\x96\xE5\xBE\x97SAORI",
         "pilro-stub: answers in the real SAORI module's place from its captured replies",
         "pilro-stub"},
    };
    for (const auto& m : modules) {
        const std::string module = pilro::test::read_file(m.path);
        ASSERT_FALSE(module.empty()) << m.path;
        const std::string name = ".pilro.version";
        EXPECT_NE(module.find(name + std::string(1, '\0')), std::string::npos)
            << m.path << ": no section named " << name;
        const std::string record =
            std::string() + "FileVersionNumber=1.0.0.0" + '\0' + "ProductVersionNumber=1.0.0.0" +
            '\0' + "FileFlagsMask=0x3F" + '\0' + "FileFlags=0x0" + '\0' + "FileOS=0x40004" + '\0' +
            "FileType=0x2" + '\0' + "FileSubtype=0x0" + '\0' + "FileDate=0" + '\0' +
            "Language=0x0411" + '\0' + "Comments=" + m.comments + '\0' + "CompanyName= " + '\0' +
            "FileDescription=" + m.description + '\0' + "FileVersion=1, 0, 0, 0" + '\0' +
            "InternalName=" + m.name + '\0' + "LegalCopyright=" + '\0' + "LegalTrademarks=" + '\0' +
            "OriginalFilename=" + m.name + ".dll" + '\0' + "PrivateBuild=" + '\0' +
            "ProductName=  pilro" + '\0' + "ProductVersion=1, 0, 0, 0" + '\0' +
            "SpecialBuild=" + '\0' + "Translation=0x0411 0x04B0" + '\0';
        EXPECT_NE(module.find(record), std::string::npos) << m.path;
    }
}

}  // namespace
