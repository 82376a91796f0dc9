#include "pe_image.h"

#include <algorithm>

namespace pilro::pe {
namespace {

constexpr std::size_t section_header_size = 40;
constexpr std::size_t export_directory_size = 40;
constexpr unsigned file_dll = 0x2000;

std::string decimal(std::uint64_t value) {
    return std::to_string(value);
}

}  // namespace

std::string machine_name(unsigned machine) {
    if (machine == machine_x86) {
        return "x86";
    }
    if (machine == machine_x86_64) {
        return "x86-64";
    }
    const char digits[] = "0123456789ABCDEF";
    std::string hex = "machine 0x";
    for (int shift = 12; shift >= 0; shift -= 4) {
        hex += digits[(machine >> shift) & 0xF];
    }
    return hex;
}

std::uint16_t read16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t read32(std::string_view bytes, std::size_t at) {
    return read16(bytes, at) | static_cast<std::uint32_t>(read16(bytes, at + 2)) << 16;
}

void write16(std::string& bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8 & 0xFF);
}

void write32(std::string& bytes, std::size_t at, std::uint32_t value) {
    write16(bytes, at, value & 0xFFFF);
    write16(bytes, at + 2, value >> 16);
}

bool image::read(std::string_view bytes, layout how, std::string& why) {
    *this = image();
    bytes_ = bytes;
    layout_ = how;
    if (bytes.size() < 64 || bytes.compare(0, 2, "MZ") != 0) {
        why = bytes.compare(0, 2, "MZ") == 0 ? "its MS-DOS header is cut short"
                                             : "it is no Windows module (it has no MZ header)";
        return false;
    }
    const std::uint64_t nt = read32(bytes, 0x3C);
    if (nt + 24 > bytes.size() || bytes.compare(nt, 4, std::string_view("PE\0\0", 4)) != 0) {
        why = "it is an MS-DOS program without a PE header";
        return false;
    }
    file_header_ = nt + 4;
    machine_ = read16(bytes, file_header_);
    const unsigned section_count = read16(bytes, file_header_ + 2);
    const unsigned optional_size = read16(bytes, file_header_ + 16);
    dll_ = (read16(bytes, file_header_ + 18) & file_dll) != 0;
    optional_header_ = file_header_ + 20;
    const unsigned magic =
        optional_header_ + 2 <= bytes.size() ? read16(bytes, optional_header_) : 0;
    pe32_plus_ = magic == 0x20B;
    // Where the data directories start: after the fields of the 32-bit or the 64-bit form.
    const std::size_t directories = pe32_plus_ ? 112 : 96;
    if ((magic != 0x10B && magic != 0x20B) || optional_size < directories ||
        optional_header_ + optional_size > bytes.size()) {
        why = "its PE header is cut short or damaged";
        return false;
    }
    section_alignment_ = read32(bytes, optional_header_ + 32);
    file_alignment_ = read32(bytes, optional_header_ + 36);
    size_of_image_ = read32(bytes, optional_header_ + 56);
    size_of_headers_ = read32(bytes, optional_header_ + 60);
    const std::uint32_t listed = read32(bytes, optional_header_ + directories - 4);
    directory_count_ = std::min<std::uint32_t>(listed, (optional_size - directories) / 8);
    section_table_ = optional_header_ + optional_size;
    if (section_table_ + std::uint64_t{section_count} * section_header_size > bytes.size() ||
        section_alignment_ == 0 || file_alignment_ == 0) {
        why = "its section table is cut short or damaged";
        return false;
    }
    for (unsigned k = 0; k < section_count; ++k) {
        const std::size_t at = section_table_ + k * section_header_size;
        section s;
        s.name.assign(bytes.substr(at, 8));
        s.name.resize(s.name.find('\0') == std::string::npos ? 8 : s.name.find('\0'));
        s.virtual_size = read32(bytes, at + 8);
        s.virtual_address = read32(bytes, at + 12);
        s.raw_size = read32(bytes, at + 16);
        s.raw_offset = read32(bytes, at + 20);
        s.characteristics = read32(bytes, at + 36);
        const std::uint64_t end = how == layout::file
                                      ? std::uint64_t{s.raw_offset} + s.raw_size
                                      : std::uint64_t{s.virtual_address} + s.virtual_size;
        if (end > bytes.size()) {
            why = "its section " + s.name + " runs past the end of the file (" +
                  decimal(bytes.size()) + " bytes): the file is cut short";
            return false;
        }
        sections_.push_back(std::move(s));
    }
    return true;
}

std::uint32_t image::directory_rva(unsigned k) const {
    const std::size_t directories = pe32_plus_ ? 112 : 96;
    return k < directory_count_ ? read32(bytes_, optional_header_ + directories + 8 * k) : 0;
}

std::uint32_t image::directory_size(unsigned k) const {
    const std::size_t directories = pe32_plus_ ? 112 : 96;
    return k < directory_count_ ? read32(bytes_, optional_header_ + directories + 8 * k + 4) : 0;
}

bool image::at(std::uint32_t rva, std::uint32_t n, std::string_view& out) const {
    const std::uint64_t end = std::uint64_t{rva} + n;
    if (layout_ == layout::mapped || end <= size_of_headers_) {
        if (end > bytes_.size()) {
            return false;
        }
        out = bytes_.substr(rva, n);
        return true;
    }
    for (const section& s : sections_) {
        // Only what the file holds of the section; what the loader fills with zeros is not in it.
        const std::uint32_t held =
            s.virtual_size != 0 && s.virtual_size < s.raw_size ? s.virtual_size : s.raw_size;
        if (rva >= s.virtual_address && end <= std::uint64_t{s.virtual_address} + held) {
            out = bytes_.substr(s.raw_offset + (rva - s.virtual_address), n);
            return true;
        }
    }
    return false;
}

bool image::text_at(std::uint32_t rva, std::string_view& out) const {
    // The longest stretch from rva that lies in the bytes, then its first NUL.
    std::string_view rest;
    std::uint32_t n = 0;
    if (layout_ == layout::mapped || rva < size_of_headers_) {
        const std::size_t limit = layout_ == layout::mapped ? bytes_.size() : size_of_headers_;
        n = rva < limit ? static_cast<std::uint32_t>(limit - rva) : 0;
    } else {
        for (const section& s : sections_) {
            const std::uint32_t held =
                s.virtual_size != 0 && s.virtual_size < s.raw_size ? s.virtual_size : s.raw_size;
            if (rva >= s.virtual_address && rva - s.virtual_address < held) {
                n = held - (rva - s.virtual_address);
            }
        }
    }
    if (n == 0 || !at(rva, n, rest)) {
        return false;
    }
    const std::size_t nul = rest.find('\0');
    if (nul == std::string_view::npos) {
        return false;
    }
    out = rest.substr(0, nul);
    return true;
}

const section* image::find_section(std::string_view name) const {
    for (const section& s : sections_) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

std::uint32_t mapped_size(std::string_view first_page) {
    // The section table may lie past the bytes given; only the optional header is needed.
    if (first_page.size() < 64 || first_page.compare(0, 2, "MZ") != 0) {
        return 0;
    }
    const std::uint64_t nt = read32(first_page, 0x3C);
    if (nt + 24 + 60 > first_page.size() ||
        first_page.compare(nt, 4, std::string_view("PE\0\0", 4)) != 0) {
        return 0;
    }
    return read32(first_page, nt + 24 + 56);
}

bool read_exports(const image& module, export_table& out, std::string& why) {
    out = export_table();
    const std::uint32_t rva = module.directory_rva(0);
    std::string_view directory;
    if (rva == 0 || module.directory_size(0) == 0) {
        why = "it exports nothing";
        return false;
    }
    if (!module.at(rva, export_directory_size, directory)) {
        why = "its export table lies outside the file or is cut short";
        return false;
    }
    out.characteristics = read32(directory, 0);
    out.time_date_stamp = read32(directory, 4);
    out.major_version = read16(directory, 8);
    out.minor_version = read16(directory, 10);
    const std::uint32_t name_rva = read32(directory, 12);
    out.base = read32(directory, 16);
    const std::uint32_t function_count = read32(directory, 20);
    const std::uint32_t name_count = read32(directory, 24);
    if (function_count > most_exports) {
        why = "its export table lists " + decimal(function_count) + " functions, more than the " +
              decimal(most_exports) + " that ordinals can number";
        return false;
    }
    if (name_rva != 0 && !module.text_at(name_rva, out.name)) {
        why = "its export table's module name lies outside the file";
        return false;
    }
    std::string_view functions;
    std::string_view names;
    std::string_view ordinals;
    // Each name takes 6 bytes of the tables, so the counts cannot overflow 32 bits here.
    if (name_count > module.bytes().size() / 6 ||
        !module.at(read32(directory, 28), function_count * 4, functions) ||
        !module.at(read32(directory, 32), name_count * 4, names) ||
        !module.at(read32(directory, 36), name_count * 2, ordinals)) {
        why = "its export table's lists lie outside the file or are cut short";
        return false;
    }
    out.functions.reserve(function_count);
    for (std::uint32_t k = 0; k < function_count; ++k) {
        const std::uint32_t function = read32(functions, 4 * k);
        if (function >= module.size_of_image()) {
            why = "its export with ordinal " + decimal(std::uint64_t{out.base} + k) +
                  " points outside the module";
            return false;
        }
        out.functions.push_back(function);
    }
    out.names.reserve(name_count);
    for (std::uint32_t k = 0; k < name_count; ++k) {
        export_table::named named{{}, read16(ordinals, 2 * k)};
        if (!module.text_at(read32(names, 4 * k), named.name)) {
            why = "the name of its export number " + decimal(k + 1) + " lies outside the file";
            return false;
        }
        if (named.index >= function_count || out.functions[named.index] == 0) {
            why = "its export named " + std::string(named.name.substr(0, 64)) +
                  " has no function (its ordinal lies past the table's functions)";
            return false;
        }
        out.names.push_back(named);
    }
    return true;
}

std::string_view name_of(const export_table& table, std::uint32_t index) {
    for (const export_table::named& named : table.names) {
        if (named.index == index) {
            return named.name;
        }
    }
    return std::string_view();
}

}  // namespace pilro::pe
