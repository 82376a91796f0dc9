// A stand-in (the relay or the stub) given a real module's every export: what pilro-place
// writes, worked out from bytes alone, so that tests and the fuzzer try it without files.
//
// The stand-ins carry a section of their own, ".pilro", that says where their functions are:
//   "PILROFWD", then little-endian 32-bit words: the layout's version (1), the RVAs of load,
//   request, unload and loadu, the RVA of the dispatcher, and the number of slots it has.
// (src/forward/ makes it.) The placed copy gets one more section, ".pilroex", with an export
// table that has every name and ordinal of the real module:
//   "PILROPLC", the layout's version (1), the RVA of the real module's file name, then the
//   export directory, its lists, the texts, and at the end one entry per export that is not
//   the stand-in's own:
//     B8 imm32    mov eax, INDEX   (the export's index among the table's functions)
//     E9 rel32    jmp dispatcher
//   then int3 up to 16 bytes. The dispatcher jumps to the real module's function that has the
//   same name (or, for one exported by ordinal only, the same ordinal), found at its first call.
// Everything else in the copy is the stand-in's as it was, its own export table included (no
// longer named in the headers).
#ifndef PILRO_PE_PLACEMENT_H
#define PILRO_PE_PLACEMENT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "pe_image.h"

namespace pilro::pe {

inline constexpr std::string_view descriptor_section = ".pilro";
inline constexpr std::string_view descriptor_magic = "PILROFWD";
inline constexpr std::string_view placed_section = ".pilroex";
inline constexpr std::string_view placed_magic = "PILROPLC";
// The version of both layouts.
inline constexpr std::uint32_t layout_version = 1;
// Where the export directory lies in the placed section: after its magic, version and the RVA
// of the real module's name.
inline constexpr std::uint32_t directory_offset = 16;

// The exports that the stand-in answers itself; every other one goes to the real module.
inline constexpr std::string_view own_exports[] = {"load", "request", "unload", "loadu"};

// What a stand-in's ".pilro" section says.
struct descriptor {
    std::uint32_t own[4];  // RVAs of the functions own_exports names, in that order
    std::uint32_t dispatcher;
    std::uint32_t slots;
};

// Reading both (placed.cpp, an object of its own: the relay and the stub read, and never write).

// Whether the image carries a stand-in's section (it is the relay or the stub, placed by hand
// or by pilro-place); if so, and it reads, fills d. False with why empty where there is none,
// with why set where it is damaged (or points outside the image). An RVA of 0 among the own
// functions: the stand-in lacks that function, and the name goes to the real module.
bool read_descriptor(const image& module, descriptor& d, std::string& why);

// Whether the image is a copy that pilro-place wrote; if so, real_name receives the file name
// of the module it was placed for.
bool read_placement(const image& module, std::string_view& real_name);

// Why the real module in real (with its export table) cannot be placed, or empty: it is no DLL,
// it is a stand-in already, or it lacks the exports the relay needs (request and unload, and
// load or loadu).
std::string real_module_problem(const image& real, const export_table& table);

struct placed {
    std::string bytes;
    // Exports that go through the stand-in's own functions, and those that go to the real
    // module's: counted by ordinal, so a function with two names counts once.
    std::size_t own = 0;
    std::size_t forwarded = 0;
};

// The stand-in (its image and descriptor) with table as its export table, for the real module
// whose file is named real_name. False with why when the stand-in has no room for one more
// section header or too few slots. Precondition: the stand-in's machine is the real module's.
bool place(const image& stand_in, const descriptor& d, const export_table& table,
           std::string_view real_name, placed& out, std::string& why);

// The PE checksum of a module file's bytes, whose checksum field lies at field.
std::uint32_t checksum(std::string_view bytes, std::size_t field);

}  // namespace pilro::pe

#endif
