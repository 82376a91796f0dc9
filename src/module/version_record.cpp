// The version record of the POSIX module. Windows carries it as a version resource
// (pilro.rc); a shared object has no such thing, so the same values sit in a section of
// their own, one "Key=Value" string each, readable with ordinary tools:
//     readelf -p .pilro.version pilro.so
// The strings are UTF-8.
#include "../version.h"

#define PILRO_STRINGIZE2(x) #x
#define PILRO_STRINGIZE(x) PILRO_STRINGIZE2(x)
#define PILRO_VERSION_DOTTED                                      \
    PILRO_STRINGIZE(PILRO_VERSION_MAJOR)                          \
    "." PILRO_STRINGIZE(PILRO_VERSION_MINOR) "." PILRO_STRINGIZE( \
        PILRO_VERSION_PATCH) "." PILRO_STRINGIZE(PILRO_VERSION_BUILD)

// "retain" keeps the section through --gc-sections, "used" through the optimiser.
__attribute__((used, retain, section(".pilro.version"))) static const char version_record[] =
    "FileVersionNumber=" PILRO_VERSION_DOTTED
    "\0"
    "ProductVersionNumber=" PILRO_VERSION_DOTTED
    "\0"
    "FileFlagsMask=0x3F\0"
    "FileFlags=0x0\0"
    "FileOS=0x40004\0"
    "FileType=0x2\0"
    "FileSubtype=0x0\0"
    "FileDate=0\0"
    "Language=0x0411\0"
    "Comments=\xE3\x83\xAD\xE3\x83\xBC\xE3\x83\x89\xE3\x83\xBB\xE3\x82\xA2\xE3\x83\xB3\xE3\x83\xAD"
    "\xE3\x83\xBC\xE3\x83\x89\xE3\x83\xAD\xE3\x82\xB0\xE5\x8F\x96\xE5\xBE\x97SAORI\0"
    "CompanyName= \0"
    "FileDescription=pilro \"PILRO\"\0"
    "FileVersion=" PILRO_VERSION_TEXT
    "\0"
    "InternalName=pilro\0"
    "LegalCopyright=\0"
    "LegalTrademarks=\0"
    "OriginalFilename=pilro.dll\0"
    "PrivateBuild=\0"
    "ProductName=  pilro\0"
    "ProductVersion=" PILRO_VERSION_TEXT
    "\0"
    "SpecialBuild=\0"
    "Translation=0x0411 0x04B0";
