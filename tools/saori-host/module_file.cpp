#include "module_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <system_error>

#include "platform/platform.h"

namespace pilro::host {
namespace {

enum class file_format { pe, elf };

// What the header tells.
struct module_header {
    file_format format;
    unsigned bits;
    unsigned machine;
    bool big_endian;
    // A shared library (PE: the DLL flag; ELF: type ET_DYN), not a program or object file.
    bool library;
};

struct machine_name {
    unsigned number;
    const char* name;
};

// IMAGE_FILE_MACHINE_* values.
constexpr machine_name pe_machines[] = {
    {0x014C, "x86"}, {0x8664, "x86-64"},      {0xAA64, "ARM64"}, {0xA641, "ARM64EC"},
    {0x01C0, "ARM"}, {0x01C4, "ARM Thumb-2"}, {0x0200, "IA-64"},
};

// EM_* values.
constexpr machine_name elf_machines[] = {
    {3, "x86"},      {62, "x86-64"},   {40, "ARM"},        {183, "ARM64"},
    {243, "RISC-V"}, {8, "MIPS"},      {20, "PowerPC"},    {21, "PowerPC64"},
    {22, "S/390"},   {43, "SPARC V9"}, {258, "LoongArch"},
};

template <std::size_t n>
const char* name_in(const machine_name (&table)[n], unsigned machine) {
    for (const machine_name& known : table) {
        if (known.number == machine) {
            return known.name;
        }
    }
    return nullptr;
}

std::string machine_text(file_format format, unsigned machine) {
    const char* name =
        format == file_format::pe ? name_in(pe_machines, machine) : name_in(elf_machines, machine);
    if (name != nullptr) {
        return name;
    }
    const char digits[] = "0123456789ABCDEF";
    std::string hex = "machine 0x";
    for (int shift = 12; shift >= 0; shift -= 4) {
        hex += digits[(machine >> shift) & 0xF];
    }
    return hex;
}

// "64-bit big-endian PowerPC64 ELF"; the byte order is named only where it is the unusual one.
std::string describe(const module_header& header) {
    std::string text = std::to_string(header.bits) + "-bit ";
    if (header.big_endian) {
        text += "big-endian ";
    }
    if (header.machine != 0) {
        text += machine_text(header.format, header.machine) + " ";
    }
    text += header.format == file_format::pe ? "PE" : "ELF";
    return text;
}

bool this_process_is_big_endian() {
    const std::uint16_t probe = 1;
    unsigned char first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 0;
}

module_header this_process() {
    return {platform::loads_pe_modules() ? file_format::pe : file_format::elf,
            static_cast<unsigned>(sizeof(void*) * 8), platform::loadable_machine(),
            !platform::loads_pe_modules() && this_process_is_big_endian(), true};
}

unsigned read16(const std::string& bytes, std::size_t at, bool big_endian) {
    const auto b0 = static_cast<unsigned char>(bytes[at]);
    const auto b1 = static_cast<unsigned char>(bytes[at + 1]);
    return big_endian ? (b0 << 8) | b1 : (b1 << 8) | b0;
}

std::uint32_t read32_le(const std::string& bytes, std::size_t at) {
    return read16(bytes, at, false) |
           (static_cast<std::uint32_t>(read16(bytes, at + 2, false)) << 16);
}

// Up to n bytes of the stream from offset on; fewer where the file ends.
std::string read_at(std::ifstream& in, std::uint32_t offset, std::size_t n) {
    in.clear();
    in.seekg(offset);
    std::string bytes(n, '\0');
    in.read(&bytes[0], static_cast<std::streamsize>(n));
    bytes.resize(in.gcount() > 0 ? static_cast<std::size_t>(in.gcount()) : 0);
    return bytes;
}

// Fills header from the file's first bytes; returns an empty string, or why the file is not
// a module of any kind. Precondition: the first bytes could be read.
std::string read_header(std::ifstream& in, const std::string& start, module_header& header) {
    if (start.size() >= 2 && start.compare(0, 2, "MZ") == 0) {
        if (start.size() < 64) {
            return "its MS-DOS header is cut short";
        }
        // e_lfanew: where the PE signature and the COFF file header are.
        const std::uint32_t pe_offset = read32_le(start, 0x3C);
        const std::string pe = read_at(in, pe_offset, 26);
        if (pe.size() < 24 || pe.compare(0, 4, std::string("PE\0\0", 4)) != 0) {
            return "it is an MS-DOS program without a PE header";
        }
        header.format = file_format::pe;
        header.machine = read16(pe, 4, false);
        header.big_endian = false;
        header.library = (read16(pe, 22, false) & 0x2000) != 0;  // IMAGE_FILE_DLL
        // The optional header's magic: PE32 or PE32+. A module cannot do without it.
        const unsigned magic = pe.size() >= 26 ? read16(pe, 24, false) : 0;
        if (magic != 0x10B && magic != 0x20B) {
            return "its PE header is cut short or damaged";
        }
        header.bits = magic == 0x10B ? 32 : 64;
        return std::string();
    }
    // "\177" is 0x7F, spelt in octal so that the 'E' after it stays a letter.
    if (start.size() >= 4 && start.compare(0, 4, "\177ELF") == 0) {
        if (start.size() < 20) {
            return "its ELF header is cut short";
        }
        const char elf_class = start[4];
        const char data = start[5];
        if ((elf_class != 1 && elf_class != 2) || (data != 1 && data != 2)) {
            return "its ELF header is damaged";
        }
        header.format = file_format::elf;
        header.bits = elf_class == 1 ? 32 : 64;
        header.big_endian = data == 2;
        header.library = read16(start, 16, header.big_endian) == 3;  // ET_DYN
        header.machine = read16(start, 18, header.big_endian);
        return std::string();
    }
    return start.empty() ? "it is empty" : "it is neither a PE nor an ELF file";
}

}  // namespace

std::string module_file_problem(const std::string& path) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int code = errno;
        return "cannot open " + path + ": " +
               (code != 0 ? std::generic_category().message(code) : "it cannot be opened");
    }
    errno = 0;
    const std::string start = read_at(in, 0, 64);
    if (in.bad()) {
        // A directory opens on POSIX and fails here.
        return "cannot read " + path + ": " +
               (errno != 0 ? std::generic_category().message(errno) : "read error");
    }
    module_header found{};
    const std::string not_a_module = read_header(in, start, found);
    if (!not_a_module.empty()) {
        return path + " is not a module: " + not_a_module;
    }
    const module_header host = this_process();
    const bool fits = found.format == host.format && found.bits == host.bits &&
                      found.big_endian == host.big_endian &&
                      (host.machine == 0 || found.machine == host.machine);
    if (!fits) {
        return path + " is a " + describe(found) + " module; this host loads " + describe(host) +
               " modules";
    }
    if (!found.library) {
        return path + " is a " + describe(found) + " program, not a module (a shared library)";
    }
    return std::string();
}

}  // namespace pilro::host
