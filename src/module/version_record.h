// The version record of a POSIX module file. Windows carries it as a version resource (the
// .rc files); a shared object has no such thing, so the same values sit in a section of their
// own, one "Key=Value" string each, readable with ordinary tools:
//     readelf -p .pilro.version pilro.so
// The strings are UTF-8. Each module file defines its record with PILRO_VERSION_RECORD, at
// namespace scope in one of its sources.
#ifndef PILRO_VERSION_RECORD_H
#define PILRO_VERSION_RECORD_H

#include "../version.h"

#define PILRO_STRINGIZE2(x) #x
#define PILRO_STRINGIZE(x) PILRO_STRINGIZE2(x)
#define PILRO_VERSION_DOTTED                                      \
    PILRO_STRINGIZE(PILRO_VERSION_MAJOR)                          \
    "." PILRO_STRINGIZE(PILRO_VERSION_MINOR) "." PILRO_STRINGIZE( \
        PILRO_VERSION_PATCH) "." PILRO_STRINGIZE(PILRO_VERSION_BUILD)

// The values that differ between the module files are given; the rest are the same for all.
// "retain" keeps the section through --gc-sections, "used" through the optimiser.
#define PILRO_VERSION_RECORD(comments, description, internal_name, original_file_name)            \
    __attribute__((used, retain, section(".pilro.version"))) static const char version_record[] = \
        "FileVersionNumber=" PILRO_VERSION_DOTTED                                                 \
        "\0"                                                                                      \
        "ProductVersionNumber=" PILRO_VERSION_DOTTED                                              \
        "\0"                                                                                      \
        "FileFlagsMask=0x3F\0"                                                                    \
        "FileFlags=0x0\0"                                                                         \
        "FileOS=0x40004\0"                                                                        \
        "FileType=0x2\0"                                                                          \
        "FileSubtype=0x0\0"                                                                       \
        "FileDate=0\0"                                                                            \
        "Language=0x0411\0"                                                                       \
        "Comments=" comments                                                                      \
        "\0"                                                                                      \
        "CompanyName= \0"                                                                         \
        "FileDescription=" description                                                            \
        "\0"                                                                                      \
        "FileVersion=" PILRO_VERSION_TEXT                                                         \
        "\0"                                                                                      \
        "InternalName=" internal_name                                                             \
        "\0"                                                                                      \
        "LegalCopyright=\0"                                                                       \
        "LegalTrademarks=\0"                                                                      \
        "OriginalFilename=" original_file_name                                                    \
        "\0"                                                                                      \
        "PrivateBuild=\0"                                                                         \
        "ProductName=  pilro\0"                                                                   \
        "ProductVersion=" PILRO_VERSION_TEXT                                                      \
        "\0"                                                                                      \
        "SpecialBuild=\0"                                                                         \
        "Translation=0x0411 0x04B0"

#endif
