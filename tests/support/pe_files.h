// Windows module files made up byte by byte, for the tests of reading and placing them on any
// platform: a DLL (or program) with a given export table, and the relay's or the stub's
// section that says where their functions are.
#ifndef PILRO_TEST_PE_FILES_H
#define PILRO_TEST_PE_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pilro::test {

struct made_up_module {
    unsigned machine = 0x014C;
    bool pe32_plus = false;
    bool dll = true;
    std::uint32_t base = 1;
    // The functions' RVAs by ordinal less base (0: not exported), and the names with the
    // index each names.
    std::vector<std::uint32_t> functions;
    std::vector<std::pair<std::string, std::uint32_t>> names;
    // Whether it carries a stand-in's section .pilro, with these RVAs of load, request, unload,
    // loadu and the dispatcher, and this many slots.
    bool stand_in = false;
    std::uint32_t own[5] = {0x1000, 0x1010, 0x1020, 0x1030, 0x1040};
    std::uint32_t slots = 65536;
    std::uint32_t checksum = 0;
    // Section headers that take room in the headers (up to 20 fit in all).
    unsigned extra_sections = 0;
};

// An exporting module of load, request and unload, and by default sum_of and an export by
// ordinal only.
made_up_module module_with(std::vector<std::string> names, bool by_ordinal = true);

struct made_up_file {
    std::string bytes;
    // Where the export directory and its lists lie in the file.
    std::size_t directory;
    std::size_t functions;
    std::size_t names;
    std::size_t ordinals;
};
made_up_file pe_file(const made_up_module& module);

}  // namespace pilro::test

#endif
