// The version resources of pilro.dll, pilro-relay.dll and pilro-stub.dll, read back through the
// Windows version API and, for what that API does not tell (key order, resource language, other
// resources), from the raw resource. The same version in each; what differs says which module
// file it is.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_os.h"
#include "version.h"

namespace {

struct module_file {
    std::string path;
    std::wstring comments;
    std::wstring description;
    std::wstring name;
};
const module_file modules[] = {
    {pilro::test::built_module(),
     L"\x30ed\x30fc\x30c9\x30fb\x30a2\x30f3\x30ed\x30fc\x30c9\x30ed\x30b0\x53d6\x5f97SAORI",
     L"pilro \"PILRO\"", L"pilro"},
    {pilro::test::built_relay(),
     L"\x4e2d\x7d99\x30fb\x9001\x53d7\x4fe1\x30ed\x30b0\x53d6\x5f97SAORI",
     L"pilro-relay: relays to the real SAORI module and logs both directions", L"pilro-relay"},
    {pilro::test::built_stub(),
     L"\x8a18\x9332\x518d\x751f\x30fb\x9001\x53d7\x4fe1\x30ed\x30b0\x53d6\x5f97SAORI",
     L"pilro-stub: answers in the real SAORI module's place from its captured replies",
     L"pilro-stub"},
};

std::vector<char> version_info(const std::string& module) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(module.c_str(), &ignored);
    std::vector<char> info(size);
    if (size == 0 || !GetFileVersionInfoA(module.c_str(), 0, size, info.data())) {
        info.clear();
    }
    return info;
}

std::wstring string_value(std::vector<char>& info, const std::wstring& key) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\041104b0\\" + key;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length)) {
        return L"<missing>";
    }
    std::wstring text(static_cast<const wchar_t*>(value), length);
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

// The expected string table, in its order.
std::vector<std::pair<std::wstring, std::wstring>> strings(const module_file& m) {
    return {
        {L"Comments", m.comments},
        {L"CompanyName", L" "},
        {L"FileDescription", m.description},
        {L"FileVersion", L"1, 0, 0, 0"},
        {L"InternalName", m.name},
        {L"LegalCopyright", L""},
        {L"LegalTrademarks", L""},
        {L"OriginalFilename", m.name + L".dll"},
        {L"PrivateBuild", L""},
        {L"ProductName", L"  pilro"},
        {L"ProductVersion", L"1, 0, 0, 0"},
        {L"SpecialBuild", L""},
    };
}

TEST(VersionRecord, FixedPart) {
    for (const module_file& m : modules) {
        std::vector<char> info = version_info(m.path);
        ASSERT_FALSE(info.empty()) << m.path;
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
        EXPECT_EQ(fixed->dwFileVersionLS, 0u);
        EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
        EXPECT_EQ(fixed->dwProductVersionLS, 0u);
        EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
        EXPECT_EQ(fixed->dwFileFlags, 0u);
        EXPECT_EQ(fixed->dwFileOS, 0x40004u);
        EXPECT_EQ(fixed->dwFileType, 2u);
        EXPECT_EQ(fixed->dwFileSubtype, 0u);
        EXPECT_EQ(fixed->dwFileDateMS, 0u);
        EXPECT_EQ(fixed->dwFileDateLS, 0u);
    }
    // The text form agrees with the numbers it is spelled next to.
    EXPECT_STREQ(PILRO_VERSION_TEXT, "1, 0, 0, 0");
    EXPECT_EQ(PILRO_VERSION_MAJOR << 16 | PILRO_VERSION_MINOR, 0x00010000);
}

TEST(VersionRecord, StringTableAndTranslation) {
    for (const module_file& m : modules) {
        std::vector<char> info = version_info(m.path);
        ASSERT_FALSE(info.empty()) << m.path;
        for (const auto& [key, value] : strings(m)) {
            EXPECT_EQ(string_value(info, key), value) << std::string(key.begin(), key.end());
        }
        WORD* translation = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                                   reinterpret_cast<void**>(&translation), &length));
        ASSERT_EQ(length, 4u);
        EXPECT_EQ(translation[0], 0x0411);
        EXPECT_EQ(translation[1], 0x04B0);
    }
}

// Walks the raw VS_VERSIONINFO tree: each node is a length, a value length, a type, a
// NUL-terminated UTF-16 key, padding to 4 bytes, the value, padding, then its children.
struct node {
    std::wstring key;
    const char* children;
    const char* end;
};

node read_node(const char* at) {
    const auto* words = reinterpret_cast<const WORD*>(at);
    const WORD length = words[0];
    const WORD value_length = words[1];
    const WORD type = words[2];
    const auto* key = reinterpret_cast<const wchar_t*>(at + 6);
    node n{key, nullptr, at + length};
    auto align = [at](const char* p) { return at + ((p - at + 3) & ~3); };
    const char* value = align(at + 6 + (n.key.size() + 1) * 2);
    n.children = align(value + (type == 1 ? value_length * 2 : value_length));
    return n;
}

std::vector<node> children_of(const node& parent) {
    std::vector<node> children;
    for (const char* at = parent.children; at < parent.end;) {
        children.push_back(read_node(at));
        const char* next = children.back().end;
        at = reinterpret_cast<const char*>((reinterpret_cast<UINT_PTR>(next) + 3) & ~UINT_PTR{3});
    }
    return children;
}

using resource_list = std::vector<std::pair<ULONG_PTR, WORD>>;  // (type or name, language)

BOOL CALLBACK add_type(HMODULE, LPSTR type, LONG_PTR list) {
    reinterpret_cast<resource_list*>(list)->emplace_back(reinterpret_cast<ULONG_PTR>(type), 0);
    return TRUE;
}

BOOL CALLBACK add_language(HMODULE, LPCSTR, LPCSTR name, WORD language, LONG_PTR list) {
    reinterpret_cast<resource_list*>(list)->emplace_back(reinterpret_cast<ULONG_PTR>(name),
                                                         language);
    return TRUE;
}

BOOL CALLBACK add_languages(HMODULE image, LPCSTR type, LPSTR name, LONG_PTR list) {
    EnumResourceLanguagesA(image, type, name, add_language, list);
    return TRUE;
}

TEST(VersionRecord, OnlyResourceIsVersionOneInJapaneseWithKeysInOrder) {
    for (const module_file& m : modules) {
        HMODULE image = LoadLibraryExA(m.path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(image, nullptr) << m.path;

        resource_list types;
        EnumResourceTypesA(image, add_type, reinterpret_cast<LONG_PTR>(&types));
        ASSERT_EQ(types.size(), 1u);
        EXPECT_EQ(types[0].first, reinterpret_cast<ULONG_PTR>(RT_VERSION));

        resource_list versions;
        EnumResourceNamesA(image, RT_VERSION, add_languages, reinterpret_cast<LONG_PTR>(&versions));
        ASSERT_EQ(versions.size(), 1u);
        EXPECT_EQ(versions[0].first, 1u);
        EXPECT_EQ(versions[0].second, 0x0411);

        HRSRC resource = FindResourceExA(image, RT_VERSION, MAKEINTRESOURCEA(1), 0x0411);
        ASSERT_NE(resource, nullptr);
        const char* root_bytes =
            static_cast<const char*>(LockResource(LoadResource(image, resource)));
        ASSERT_NE(root_bytes, nullptr);
        const node root = read_node(root_bytes);
        EXPECT_EQ(root.key, L"VS_VERSION_INFO");
        std::vector<std::wstring> keys;
        for (const node& block : children_of(root)) {
            if (block.key != L"StringFileInfo") {
                continue;
            }
            const std::vector<node> tables = children_of(block);
            ASSERT_EQ(tables.size(), 1u);
            EXPECT_EQ(tables[0].key, L"041104b0");
            for (const node& entry : children_of(tables[0])) {
                keys.push_back(entry.key);
            }
        }
        std::vector<std::wstring> expected;
        for (const auto& entry : strings(m)) {
            expected.push_back(entry.first);
        }
        EXPECT_EQ(keys, expected);
        FreeLibrary(image);
    }
}

}  // namespace
