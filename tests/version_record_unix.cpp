// The POSIX module carries the version record as "Key=Value" strings in a section of its own.
#include <gtest/gtest.h>

#include <string>

#include "test_os.h"

namespace {

TEST(VersionRecord, SharedObjectCarriesEveryValue) {
    const std::string module = pilro::test::read_file(pilro::test::built_module());
    ASSERT_FALSE(module.empty());
    const std::string name = ".pilro.version";
    EXPECT_NE(module.find(name + std::string(1, '\0')), std::string::npos)
        << "no section named " << name;
    const std::string record =
        std::string() + "FileVersionNumber=1.0.0.0" + '\0' + "ProductVersionNumber=1.0.0.0" + '\0' +
        "FileFlagsMask=0x3F" + '\0' + "FileFlags=0x0" + '\0' + "FileOS=0x40004" + '\0' +
        "FileType=0x2" + '\0' + "FileSubtype=0x0" + '\0' + "FileDate=0" + '\0' + "Language=0x0411" +
        '\0' +
        "Comments=\xE3\x83\xAD\xE3\x83\xBC\xE3\x83\x89\xE3\x83\xBB\xE3\x82"
        "\xA2\xE3\x83\xB3\xE3\x83\xAD\xE3\x83\xBC\xE3\x83\x89\xE3\x83\xAD"
        "\xE3\x82\xB0\xE5\x8F\x96\xE5\xBE\x97SAORI" +
        '\0' + "CompanyName= " + '\0' + "FileDescription=pilro \"PILRO\"" + '\0' +
        "FileVersion=1, 0, 0, 0" + '\0' + "InternalName=pilro" + '\0' + "LegalCopyright=" + '\0' +
        "LegalTrademarks=" + '\0' + "OriginalFilename=pilro.dll" + '\0' + "PrivateBuild=" + '\0' +
        "ProductName=  pilro" + '\0' + "ProductVersion=1, 0, 0, 0" + '\0' + "SpecialBuild=" + '\0' +
        "Translation=0x0411 0x04B0" + '\0';
    EXPECT_NE(module.find(record), std::string::npos);
}

}  // namespace
