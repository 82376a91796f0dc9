#include "placement.h"

namespace pilro::pe {
namespace {

constexpr std::size_t descriptor_size = 8 + 4 * 7;

}  // namespace

bool read_descriptor(const image& module, descriptor& d, std::string& why) {
    why.clear();
    const section* s = module.find_section(descriptor_section);
    std::string_view bytes;
    if (s == nullptr) {
        return false;
    }
    if (!module.at(s->virtual_address, descriptor_size, bytes) ||
        bytes.substr(0, descriptor_magic.size()) != descriptor_magic ||
        read32(bytes, 8) != layout_version) {
        why = "its section " + std::string(descriptor_section) +
              " is damaged, or of another version of pilro";
        return false;
    }
    bool inside = true;
    for (std::size_t k = 0; k < 4; ++k) {
        d.own[k] = read32(bytes, 12 + 4 * k);
        inside = inside && d.own[k] < module.size_of_image();
    }
    d.dispatcher = read32(bytes, 28);
    d.slots = read32(bytes, 32);
    if (!inside || d.dispatcher == 0 || d.dispatcher >= module.size_of_image()) {
        why = "its section " + std::string(descriptor_section) + " points outside the module";
        return false;
    }
    return true;
}

bool read_placement(const image& module, std::string_view& real_name) {
    const section* s = module.find_section(placed_section);
    std::string_view bytes;
    return s != nullptr && module.at(s->virtual_address, directory_offset, bytes) &&
           bytes.substr(0, placed_magic.size()) == placed_magic &&
           read32(bytes, 8) == layout_version && module.text_at(read32(bytes, 12), real_name);
}

}  // namespace pilro::pe
