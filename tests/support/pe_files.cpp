#include "pe_files.h"

#include "pe/pe_image.h"

namespace pilro::test {
namespace {

using pe::write16;
using pe::write32;

std::uint32_t up(std::size_t value, std::uint32_t alignment) {
    return static_cast<std::uint32_t>((value + alignment - 1) / alignment * alignment);
}

}  // namespace

made_up_module module_with(std::vector<std::string> names, bool by_ordinal) {
    made_up_module m;
    for (const std::string& name : names) {
        m.names.emplace_back(name, static_cast<std::uint32_t>(m.functions.size()));
        m.functions.push_back(0x1100 + 16 * static_cast<std::uint32_t>(m.functions.size()));
    }
    if (by_ordinal) {
        m.functions.push_back(0x1800);
    }
    return m;
}

// Headers in the first 0x400 bytes; .text at 0x1000 (file 0x400), .edata at 0x2000, .pilro
// after it.
made_up_file pe_file(const made_up_module& m) {
    const std::size_t nt = 0x80;
    const std::size_t optional = nt + 24;
    const std::size_t optional_size = m.pe32_plus ? 240 : 224;
    const unsigned sections = 2 + (m.stand_in ? 1 : 0) + m.extra_sections;
    std::string file(0x400, '\0');
    file.replace(0, 2, "MZ");
    write32(file, 0x3C, nt);
    file.replace(nt, 4, std::string("PE\0\0", 4));
    write16(file, nt + 4, m.machine);
    write16(file, nt + 6, sections);
    write16(file, nt + 20, static_cast<std::uint32_t>(optional_size));
    write16(file, nt + 22, 0x0002 | (m.dll ? 0x2000 : 0));
    write16(file, optional, m.pe32_plus ? 0x20B : 0x10B);
    write32(file, optional + 32, 0x1000);
    write32(file, optional + 36, 0x200);
    write32(file, optional + 60, 0x400);
    write32(file, optional + 64, m.checksum);
    write32(file, optional + (m.pe32_plus ? 108 : 92), 16);
    // .text: the functions' code, int3 throughout.
    file.append(0x200, '\xCC');
    // .edata: the export directory, its lists and its texts.
    made_up_file out{};
    std::string edata(40, '\0');
    const std::uint32_t edata_rva = 0x2000;
    const auto rva_of = [&](std::size_t offset) {
        return edata_rva + static_cast<std::uint32_t>(offset);
    };
    out.functions = edata.size();
    for (const std::uint32_t f : m.functions) {
        edata.append(4, '\0');
        write32(edata, edata.size() - 4, f);
    }
    out.names = edata.size();
    edata.append(4 * m.names.size(), '\0');
    out.ordinals = edata.size();
    edata.append(2 * m.names.size(), '\0');
    write32(edata, 12, rva_of(edata.size()));
    edata.append("made_up.dll").push_back('\0');
    for (std::size_t k = 0; k < m.names.size(); ++k) {
        write32(edata, out.names + 4 * k, rva_of(edata.size()));
        write16(edata, out.ordinals + 2 * k, m.names[k].second);
        edata.append(m.names[k].first).push_back('\0');
    }
    write32(edata, 16, m.base);
    write32(edata, 20, static_cast<std::uint32_t>(m.functions.size()));
    write32(edata, 24, static_cast<std::uint32_t>(m.names.size()));
    write32(edata, 28, rva_of(out.functions));
    write32(edata, 32, rva_of(out.names));
    write32(edata, 36, rva_of(out.ordinals));
    const std::size_t directory_size = edata.size();
    out.directory = file.size();
    out.functions += file.size();
    out.names += file.size();
    out.ordinals += file.size();
    file += edata;
    file.resize(up(file.size(), 0x200), '\0');
    std::uint32_t next_rva = edata_rva + up(edata.size(), 0x1000);
    std::size_t pilro_at = 0;
    if (m.stand_in) {
        pilro_at = file.size();
        std::string pilro = "PILROFWD";
        pilro.append(28, '\0');
        write32(pilro, 8, 1);
        for (std::size_t k = 0; k < 5; ++k) {
            write32(pilro, 12 + 4 * k, m.own[k]);
        }
        write32(pilro, 32, m.slots);
        file += pilro;
        file.resize(up(file.size(), 0x200), '\0');
    }
    struct section {
        const char* name;
        std::uint32_t rva;
        std::size_t size;
        std::size_t raw;
        std::uint32_t flags;
    };
    std::vector<section> table{{".text", 0x1000, 0x200, 0x400, 0x60000020},
                               {".edata", edata_rva, edata.size(), out.directory, 0x40000040}};
    if (m.stand_in) {
        table.push_back({".pilro", next_rva, 36, pilro_at, 0x40000040});
    }
    // Further names for the code, which take room in the headers.
    table.resize(sections, table.front());
    for (unsigned k = 0; k < sections; ++k) {
        const std::size_t at = optional + optional_size + 40 * k;
        const section& s = table[k];
        file.replace(at, 8, std::string(s.name).append(8, '\0').substr(0, 8));
        write32(file, at + 8, static_cast<std::uint32_t>(s.size));
        write32(file, at + 12, s.rva);
        write32(file, at + 16, up(s.size, 0x200));
        write32(file, at + 20, static_cast<std::uint32_t>(s.raw));
        write32(file, at + 36, s.flags);
    }
    if (m.stand_in) {
        next_rva += 0x1000;
    }
    write32(file, optional + 56, next_rva);
    const std::size_t directories = optional + (m.pe32_plus ? 112 : 96);
    write32(file, directories, edata_rva);
    write32(file, directories + 4, static_cast<std::uint32_t>(directory_size));
    out.bytes = file;
    return out;
}

}  // namespace pilro::test
