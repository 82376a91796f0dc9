// Windows module files read and placed from their bytes (src/pe), on made-up files.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "pe/pe_image.h"
#include "pe/placement.h"
#include "pe_files.h"

namespace {

namespace pe = pilro::pe;
using pilro::test::made_up_module;
using pilro::test::module_with;
using pilro::test::pe_file;

struct read_result {
    bool ok;
    std::string why;
    pe::export_table table;
};

read_result read(const std::string& bytes) {
    pe::image image;
    read_result r{false, std::string(), pe::export_table()};
    r.ok = image.read(bytes, pe::layout::file, r.why) && pe::read_exports(image, r.table, r.why);
    return r;
}

TEST(PeImage, ReadsEveryNameAndOrdinalOfBothWordSizes) {
    for (const bool wide : {false, true}) {
        made_up_module m = module_with({"load", "request", "unload", "sum_of"});
        m.pe32_plus = wide;
        m.machine = wide ? pe::machine_x86_64 : pe::machine_x86;
        m.base = 7;
        m.names.emplace_back("another_sum", 3);
        const std::string bytes = pe_file(m).bytes;
        pe::image image;
        std::string why;
        ASSERT_TRUE(image.read(bytes, pe::layout::file, why)) << why;
        EXPECT_EQ(image.pe32_plus(), wide);
        EXPECT_EQ(image.machine(), m.machine);
        const read_result r = read(bytes);
        ASSERT_TRUE(r.ok) << r.why;
        EXPECT_EQ(r.table.name, "made_up.dll");
        EXPECT_EQ(r.table.base, 7u);
        EXPECT_EQ(r.table.functions, m.functions);
        ASSERT_EQ(r.table.names.size(), 5u);
        EXPECT_EQ(r.table.names[4].name, "another_sum");
        EXPECT_EQ(r.table.names[4].index, 3u);
        EXPECT_EQ(pe::name_of(r.table, 3), "sum_of");
        EXPECT_EQ(pe::name_of(r.table, 4), "");
    }
}

// Whatever is damaged, cut short or points outside the file is refused with a reason, and
// nothing is read from outside the bytes.
TEST(PeImage, RefusesDamagedOrCutShortFilesWithAReason) {
    const pilro::test::made_up_file good = pe_file(module_with({"load", "request", "unload"}));
    const auto put32 = [](std::string& bytes, std::size_t at, std::uint32_t value) {
        pe::write32(bytes, at, value);
    };
    const std::vector<std::pair<std::string, std::function<void(std::string&)>>> damages = {
        {"no MZ header", [](std::string& b) { b[0] = 'X'; }},
        {"MS-DOS program without a PE header", [&](std::string& b) { put32(b, 0x3C, 0x7FFFFFF0); }},
        {"PE header is cut short or damaged", [](std::string& b) { b[0x80 + 24] = 0x0C; }},
        {"section table is cut short", [](std::string& b) { pe::write16(b, 0x86, 0xFFFF); }},
        {"the file is cut short", [](std::string& b) { b.resize(0x500); }},
        {"export table lies outside the file",
         [&](std::string& b) { put32(b, 0x80 + 24 + 96, 0x7FFFFFF0); }},
        {"export table lies outside the file",
         [&](std::string& b) { put32(b, 0x80 + 24 + 96, 0x2000 + 0x200 - 20); }},
        {"lists lie outside the file",
         [&](std::string& b) { put32(b, good.directory + 20, 1000); }},
        {"lists lie outside the file", [&](std::string& b) { put32(b, good.directory + 24, 80); }},
        {"lists lie outside the file",
         [&](std::string& b) { put32(b, good.directory + 36, 0xFFFFFFFF); }},
        {"more than the 65535", [&](std::string& b) { put32(b, good.directory + 20, 70000); }},
        {"points outside the module", [&](std::string& b) { put32(b, good.functions, 0x90000); }},
        {"name of its export number 2 lies outside the file",
         [&](std::string& b) { put32(b, good.names + 4, 0x1FFFFF); }},
        {"has no function", [&](std::string& b) { pe::write16(b, good.ordinals + 2, 9); }},
        {"module name lies outside",
         [&](std::string& b) { put32(b, good.directory + 12, 0x2FFF); }},
        {"exports nothing", [&](std::string& b) { put32(b, 0x80 + 24 + 100, 0); }},
    };
    for (const auto& [why, damage] : damages) {
        std::string bytes = good.bytes;
        damage(bytes);
        const read_result r = read(bytes);
        EXPECT_FALSE(r.ok) << why;
        EXPECT_NE(r.why.find(why), std::string::npos) << r.why;
    }
    // The last name, without its NUL, runs to the end of what the file holds of its section.
    std::string unended = good.bytes;
    unended[good.directory + pe::read32(good.bytes, 0x80 + 24 + 100) - 1] = 'x';
    EXPECT_NE(read(unended).why.find("name of its export number 3 lies outside"),
              std::string::npos);
    // Every file cut anywhere short of its export table's end is refused, never read past.
    for (std::size_t n = 0; n < good.directory + 0x100; n += 7) {
        EXPECT_FALSE(read(good.bytes.substr(0, n)).ok) << n;
    }
}

// The stand-in whose exports are placed: a made-up relay with its section .pilro.
made_up_module stand_in(bool wide) {
    made_up_module m = module_with({"load", "request", "unload"}, false);
    m.stand_in = true;
    m.pe32_plus = wide;
    m.machine = wide ? pe::machine_x86_64 : pe::machine_x86;
    return m;
}

struct placing {
    pe::image own;
    pe::descriptor d{};
    pe::placed out;
    std::string why;
    bool ok = false;
};

void place(const std::string& own_bytes, const std::string& real_bytes, placing& p) {
    pe::image real;
    pe::export_table table;
    std::string why;
    ASSERT_TRUE(p.own.read(own_bytes, pe::layout::file, why)) << why;
    ASSERT_TRUE(pe::read_descriptor(p.own, p.d, why)) << why;
    ASSERT_TRUE(real.read(real_bytes, pe::layout::file, why)) << why;
    ASSERT_TRUE(pe::read_exports(real, table, why)) << why;
    p.ok = pe::place(p.own, p.d, table, "foo.dll", p.out, p.why);
}

TEST(Placement, GivesTheStandInEveryExportAndSendsTheOthersToTheDispatcher) {
    for (const bool wide : {false, true}) {
        made_up_module real = module_with({"load", "loadu", "request", "unload", "sum_of"});
        real.base = 5;
        // Another name for request: it goes through the stand-in as well.
        real.names.emplace_back("Request", 2);
        // Thousands of functions of their own.
        for (std::uint32_t k = 0; k < 5000; ++k) {
            real.names.emplace_back("many_" + std::to_string(k), 6 + k);
            real.functions.push_back(0x1900 + k);
        }
        std::string own_bytes = pe_file(stand_in(wide)).bytes;
        // A file with a checksum gets it anew.
        pe::write32(own_bytes, 0x80 + 24 + 64, 1);
        placing p;
        place(own_bytes, pe_file(real).bytes, p);
        ASSERT_TRUE(p.ok) << p.why;
        EXPECT_EQ(p.out.own, 4u);
        EXPECT_EQ(p.out.forwarded, 5002u);

        pe::image placed;
        std::string why;
        ASSERT_TRUE(placed.read(p.out.bytes, pe::layout::file, why)) << why;
        pe::export_table table;
        ASSERT_TRUE(pe::read_exports(placed, table, why)) << why;
        std::string_view recorded;
        ASSERT_TRUE(pe::read_placement(placed, recorded));
        EXPECT_EQ(recorded, "foo.dll");
        EXPECT_EQ(table.name, "made_up.dll");
        EXPECT_EQ(table.base, 5u);
        ASSERT_EQ(table.functions.size(), real.functions.size());
        EXPECT_EQ(table.names.size(), real.names.size());
        // The names sorted, as the loader's search by name needs them.
        EXPECT_TRUE(std::is_sorted(table.names.begin(), table.names.end(),
                                   [](const auto& a, const auto& b) { return a.name < b.name; }));
        std::map<std::string_view, std::uint32_t> indexes;
        for (const auto& named : table.names) {
            indexes[named.name] = named.index;
        }
        for (const auto& [name, index] : real.names) {
            EXPECT_EQ(indexes.count(name) == 1 ? indexes[name] : ~0u, index) << name;
        }
        // load, loadu, request, unload: the stand-in's own functions.
        for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_EQ(table.functions[k], p.d.own[k == 1 ? 3 : k == 2 ? 1 : k == 3 ? 2 : 0]) << k;
        }
        // The others: "mov eax, INDEX; jmp dispatcher".
        for (const std::uint32_t index : {4u, 5u, 5005u}) {
            std::string_view thunk;
            ASSERT_TRUE(placed.at(table.functions[index], 10, thunk));
            EXPECT_EQ(thunk[0], '\xB8');
            EXPECT_EQ(pe::read32(thunk, 1), index);
            EXPECT_EQ(thunk[5], '\xE9');
            EXPECT_EQ(table.functions[index] + 10 + pe::read32(thunk, 6), p.d.dispatcher);
        }
        // One section more, inside the image, which is whole.
        EXPECT_EQ(placed.sections().size(), p.own.sections().size() + 1);
        const pe::section& added = placed.sections().back();
        EXPECT_EQ(added.name, ".pilroex");
        EXPECT_EQ(added.virtual_address % 0x1000, 0u);
        EXPECT_GE(added.virtual_address, p.own.size_of_image());
        EXPECT_EQ(placed.size_of_image(),
                  (added.virtual_address + added.virtual_size + 0xFFF) / 0x1000 * 0x1000);
        EXPECT_EQ(added.raw_offset % 0x200, 0u);
        EXPECT_EQ(p.out.bytes.size(), added.raw_offset + added.raw_size);
        EXPECT_EQ(p.out.bytes.compare(0x400, own_bytes.size() - 0x400, own_bytes, 0x400), 0);
        const std::size_t field = 0x80 + 24 + 64;
        EXPECT_EQ(pe::read32(p.out.bytes, field), pe::checksum(p.out.bytes, field));
    }
}

TEST(Placement, RefusesWhatCannotBePlaced) {
    const auto problem = [](const made_up_module& m) {
        pe::image image;
        pe::export_table table;
        std::string why;
        const std::string bytes = pe_file(m).bytes;
        EXPECT_TRUE(image.read(bytes, pe::layout::file, why) && pe::read_exports(image, table, why))
            << why;
        return pe::real_module_problem(image, table);
    };
    EXPECT_EQ(problem(module_with({"loadu", "request", "unload"})), "");
    made_up_module program = module_with({"load", "request", "unload"});
    program.dll = false;
    EXPECT_NE(problem(program).find("a program, not a DLL"), std::string::npos);
    EXPECT_NE(problem(stand_in(false)).find("relay or stub already"), std::string::npos);
    EXPECT_NE(problem(module_with({"load", "unload"})).find("does not export request:"),
              std::string::npos);
    EXPECT_NE(problem(module_with({"request"})).find("does not export unload, load or loadu"),
              std::string::npos);

    const std::string real = pe_file(module_with({"load", "request", "unload", "x"})).bytes;
    // Sixteen section headers leave no room for one more before the first section's data (made
    // zeros here, so that only the room tells), fifteen do, where the bytes are not in use.
    placing p;
    for (const unsigned sections : {16u, 15u}) {
        made_up_module full = stand_in(false);
        full.extra_sections = sections - 3;
        std::string bytes = pe_file(full).bytes;
        std::fill_n(bytes.begin() + 0x400, 0x200, '\0');
        const std::size_t next = 0x80 + 24 + 224 + 40 * sections;
        place(bytes, real, p);
        EXPECT_EQ(p.ok, sections == 15) << sections;
        bytes[next] = 'x';
        place(bytes, real, p);
        EXPECT_FALSE(p.ok);
        EXPECT_NE(p.why.find("no room for one more section"), std::string::npos) << p.why;
    }
    made_up_module few = stand_in(false);
    few.slots = 4;
    place(pe_file(few).bytes, real, p);
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.why.find("room for 4"), std::string::npos) << p.why;
    // A stand-in whose section points outside it.
    made_up_module outside = stand_in(false);
    outside.own[1] = 0x7FFFFFFF;
    pe::image image;
    pe::descriptor d{};
    std::string why;
    const std::string outside_bytes = pe_file(outside).bytes;
    ASSERT_TRUE(image.read(outside_bytes, pe::layout::file, why)) << why;
    EXPECT_FALSE(pe::read_descriptor(image, d, why));
    EXPECT_NE(why.find(".pilro points outside the module"), std::string::npos) << why;
    // An alignment that would carry the new section past 4 GiB.
    std::string misaligned = pe_file(stand_in(false)).bytes;
    pe::write32(misaligned, 0x80 + 24 + 32, 0xFFFFF000);
    place(misaligned, real, p);
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.why.find("headers are damaged"), std::string::npos) << p.why;
}

}  // namespace
