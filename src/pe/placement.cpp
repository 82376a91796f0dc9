#include "placement.h"

#include <algorithm>
#include <vector>

namespace pilro::pe {
namespace {

constexpr std::size_t section_header_size = 40;
constexpr std::uint32_t thunk_size = 16;

// IMAGE_SCN_CNT_CODE | IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ
constexpr std::uint32_t code_and_data = 0x00000020 | 0x00000040 | 0x20000000 | 0x40000000;

std::uint32_t align_up(std::uint64_t value, std::uint32_t alignment) {
    return static_cast<std::uint32_t>((value + alignment - 1) / alignment * alignment);
}

bool power_of_two(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

bool has_name(const export_table& table, std::string_view name) {
    return std::any_of(table.names.begin(), table.names.end(),
                       [&](const export_table::named& n) { return n.name == name; });
}

}  // namespace

std::string real_module_problem(const image& real, const export_table& table) {
    descriptor d{};
    std::string why;
    if (!real.dll()) {
        return "it is a program, not a DLL";
    }
    if (read_descriptor(real, d, why) || !why.empty()) {
        return "it is pilro's relay or stub already (place it in front of the real module)";
    }
    std::string missing;
    for (const char* name : {"request", "unload"}) {
        if (!has_name(table, name)) {
            missing += (missing.empty() ? "" : ", ") + std::string(name);
        }
    }
    if (!has_name(table, "load") && !has_name(table, "loadu")) {
        missing += (missing.empty() ? "" : ", ") + std::string("load or loadu");
    }
    return missing.empty() ? std::string()
                           : "it does not export " + missing +
                                 ": it is no module of the protocols that use load, request "
                                 "and unload";
}

bool place(const image& stand_in, const descriptor& d, const export_table& table,
           std::string_view real_name, placed& out, std::string& why) {
    out = placed();
    // What the loader takes: alignments that are powers of two, the file's at most 64 KiB.
    if (stand_in.directory_count() == 0 || !power_of_two(stand_in.file_alignment()) ||
        !power_of_two(stand_in.section_alignment()) || stand_in.file_alignment() > 0x10000 ||
        stand_in.section_alignment() < stand_in.file_alignment()) {
        why = "the stand-in's headers are damaged";
        return false;
    }
    const std::uint32_t count = static_cast<std::uint32_t>(table.functions.size());
    if (count > d.slots) {
        why = "it has " + std::to_string(count) +
              " exports by ordinal, and the stand-in has room "
              "for " +
              std::to_string(d.slots);
        return false;
    }
    // Where each function goes: the stand-in's own function for the names it answers itself
    // (so also for every other name of the same function), a thunk for the rest.
    std::vector<std::uint32_t> own(count, 0);
    for (const export_table::named& named : table.names) {
        for (std::size_t k = 0; k < 4; ++k) {
            if (named.name == own_exports[k]) {
                own[named.index] = d.own[k];
            }
        }
    }
    std::vector<export_table::named> names(table.names);
    std::stable_sort(
        names.begin(), names.end(),
        [](const export_table::named& a, const export_table::named& b) { return a.name < b.name; });

    // The section's contents, laid out from its start.
    const section& last = *std::max_element(
        stand_in.sections().begin(), stand_in.sections().end(),
        [](const section& a, const section& b) { return a.virtual_address < b.virtual_address; });
    const std::uint64_t end =
        std::uint64_t{last.virtual_address} + std::max(last.virtual_size, last.raw_size);
    const std::uint32_t rva =
        align_up(std::min<std::uint64_t>(end, 0xFFFFFFFF), stand_in.section_alignment());
    std::string body(directory_offset + 40, '\0');
    const auto here = [&] { return rva + static_cast<std::uint32_t>(body.size()); };
    const std::uint32_t functions_at = here();
    body.append(std::size_t{4} * count, '\0');
    const std::uint32_t names_at = here();
    body.append(4 * names.size(), '\0');
    const std::uint32_t ordinals_at = here();
    body.append(2 * names.size(), '\0');
    const auto add_text = [&](std::string_view text) {
        const std::uint32_t at = here();
        body.append(text).push_back('\0');
        return at;
    };
    const std::uint32_t module_name_at = add_text(table.name);
    const std::uint32_t real_name_at = add_text(real_name);
    for (std::size_t k = 0; k < names.size(); ++k) {
        write32(body, names_at - rva + 4 * k, add_text(names[k].name));
        write16(body, ordinals_at - rva + 2 * k, names[k].index);
    }
    const std::uint32_t directory_end = here();
    body.resize(align_up(body.size(), thunk_size), '\xCC');
    for (std::uint32_t k = 0; k < count; ++k) {
        std::uint32_t function = own[k];
        if (table.functions[k] == 0) {
            continue;
        }
        if (function != 0) {
            ++out.own;
        } else {
            function = here();
            std::string thunk(thunk_size, '\xCC');
            thunk[0] = '\xB8';
            write32(thunk, 1, k);
            thunk[5] = '\xE9';
            write32(thunk, 6, d.dispatcher - (function + 10));
            body += thunk;
            ++out.forwarded;
        }
        write32(body, functions_at - rva + 4 * k, function);
    }
    body.replace(0, placed_magic.size(), placed_magic);
    write32(body, 8, layout_version);
    write32(body, 12, real_name_at);
    const std::size_t dir = directory_offset;
    write32(body, dir + 0, table.characteristics);
    write32(body, dir + 4, table.time_date_stamp);
    write16(body, dir + 8, table.major_version);
    write16(body, dir + 10, table.minor_version);
    write32(body, dir + 12, module_name_at);
    write32(body, dir + 16, table.base);
    write32(body, dir + 20, count);
    write32(body, dir + 24, static_cast<std::uint32_t>(names.size()));
    write32(body, dir + 28, functions_at);
    write32(body, dir + 32, names_at);
    write32(body, dir + 36, ordinals_at);

    // The image and the file within 32 bits.
    if (end + body.size() + 2 * std::uint64_t{stand_in.section_alignment()} > 0xFFFFFFFF ||
        stand_in.bytes().size() + body.size() + 2 * std::uint64_t{stand_in.file_alignment()} >
            0xFFFFFFFF) {
        why = "the stand-in's image has no room for one more section";
        return false;
    }
    // One more section header, where the headers have room for it before the first section's
    // data, and nothing is there yet.
    const std::string_view file = stand_in.bytes();
    const std::size_t header_at =
        stand_in.section_table() + stand_in.sections().size() * section_header_size;
    std::uint64_t first_data = stand_in.size_of_headers();
    for (const section& s : stand_in.sections()) {
        if (s.raw_size != 0) {
            first_data = std::min<std::uint64_t>(first_data, s.raw_offset);
        }
    }
    if (header_at + section_header_size > first_data ||
        file.substr(header_at, section_header_size).find_first_not_of('\0') !=
            std::string_view::npos) {
        why = "the stand-in's headers have no room for one more section";
        return false;
    }
    out.bytes.assign(file);
    const std::uint32_t raw_at = align_up(out.bytes.size(), stand_in.file_alignment());
    const std::uint32_t raw_size = align_up(body.size(), stand_in.file_alignment());
    std::string header(section_header_size, '\0');
    header.replace(0, placed_section.size(), placed_section);
    write32(header, 8, static_cast<std::uint32_t>(body.size()));
    write32(header, 12, rva);
    write32(header, 16, raw_size);
    write32(header, 20, raw_at);
    write32(header, 36, code_and_data);
    out.bytes.replace(header_at, section_header_size, header);
    out.bytes.resize(raw_at, '\0');
    out.bytes += body;
    out.bytes.resize(std::size_t{raw_at} + raw_size, '\0');

    const std::size_t optional = stand_in.optional_header();
    const std::size_t directories = optional + (stand_in.pe32_plus() ? 112 : 96);
    write16(out.bytes, stand_in.file_header() + 2,
            static_cast<std::uint32_t>(stand_in.sections().size() + 1));
    write32(out.bytes, optional + 56,
            align_up(std::uint64_t{rva} + body.size(), stand_in.section_alignment()));
    write32(out.bytes, directories, rva + directory_offset);
    write32(out.bytes, directories + 4, directory_end - (rva + directory_offset));
    if (read32(file, optional + 64) != 0) {
        write32(out.bytes, optional + 64, checksum(out.bytes, optional + 64));
    }
    return true;
}

std::uint32_t checksum(std::string_view bytes, std::size_t field) {
    std::uint64_t sum = 0;
    for (std::size_t at = 0; at < bytes.size(); at += 2) {
        std::uint32_t word = static_cast<unsigned char>(bytes[at]);
        if (at + 1 < bytes.size()) {
            word |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
        }
        if (at >= field && at < field + 4) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + bytes.size());
}

}  // namespace pilro::pe
