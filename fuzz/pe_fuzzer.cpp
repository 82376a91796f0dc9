// Windows module files on arbitrary bytes, as pilro-place reads a real module and a stand-in,
// and as the relay reads its own image: reading never leaves the bytes and ends; whatever is
// accepted places, and the placed copy reads back with every name and ordinal, the stand-in's
// own names on its functions and every other function on an entry that jumps to the
// dispatcher.
//
// Input: [flags] [module bytes...]
//   flags bit 0  also read the bytes as a mapped image
//   flags bit 1  the bytes are the stand-in, and a made-up module of ten exports is placed in it
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "pe/pe_image.h"
#include "pe/placement.h"
#include "pe_files.h"
#include "require.h"

namespace {

namespace pe = pilro::pe;
using pilro::fuzz::require;

void check_placed(const pe::placed& out, const pe::descriptor& d, const pe::export_table& real) {
    pe::image placed;
    pe::export_table table;
    std::string why;
    std::string_view recorded;
    require(placed.read(out.bytes, pe::layout::file, why), "the placed copy reads");
    require(pe::read_exports(placed, table, why), "its export table reads");
    require(pe::read_placement(placed, recorded) && recorded == "foo.dll",
            "it records the real module's name");
    require(table.functions.size() == real.functions.size() && table.base == real.base &&
                table.names.size() == real.names.size(),
            "it has every ordinal and name");
    // A module may give two functions one name; each pair stays.
    std::set<std::pair<std::string_view, std::uint32_t>> pairs;
    for (const pe::export_table::named& named : table.names) {
        pairs.emplace(named.name, named.index);
    }
    std::vector<std::uint32_t> own(real.functions.size(), 0);
    for (const pe::export_table::named& named : real.names) {
        require(pairs.count({named.name, named.index}) == 1, "every name keeps its ordinal");
        for (std::size_t k = 0; k < 4; ++k) {
            own[named.index] = named.name == pe::own_exports[k] ? d.own[k] : own[named.index];
        }
    }
    for (std::uint32_t index = 0; index < real.functions.size(); ++index) {
        const std::uint32_t function = table.functions[index];
        std::string_view thunk;
        if (real.functions[index] == 0 || own[index] != 0) {
            require(function == (real.functions[index] == 0 ? 0 : own[index]),
                    "an own name goes to the stand-in's function, no function to none");
        } else {
            require(placed.at(function, 10, thunk) && thunk[0] == '\xB8' &&
                        pe::read32(thunk, 1) == index && thunk[5] == '\xE9' &&
                        function + 10 + pe::read32(thunk, 6) == d.dispatcher,
                    "any other goes to the dispatcher with its index");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned flags = data[0];
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    pe::image image;
    pe::export_table table;
    std::string why;
    if ((flags & 1) != 0 && image.read(bytes, pe::layout::mapped, why)) {
        pe::read_exports(image, table, why);
    }
    if (!image.read(bytes, pe::layout::file, why)) {
        require(!why.empty(), "a refusal says why");
        return 0;
    }
    pilro::test::made_up_module made =
        pilro::test::module_with({"load", "request", "unload", "loadu", "a", "b", "c", "d", "e"});
    made.stand_in = (flags & 2) == 0;
    const std::string other = pilro::test::pe_file(made).bytes;
    pe::image other_image;
    require(other_image.read(other, pe::layout::file, why), "the made-up module reads");
    const pe::image& stand_in = (flags & 2) != 0 ? image : other_image;
    const pe::image& real = (flags & 2) != 0 ? other_image : image;
    pe::descriptor d{};
    pe::placed out;
    if (!pe::read_exports(real, table, why) || !pe::real_module_problem(real, table).empty() ||
        !pe::read_descriptor(stand_in, d, why)) {
        return 0;
    }
    if (pe::place(stand_in, d, table, "foo.dll", out, why)) {
        check_placed(out, d, table);
    }
    return 0;
}
