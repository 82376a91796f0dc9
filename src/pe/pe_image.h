// Windows module files (PE32 and PE32+) read from their bytes: the headers, the sections and
// the export table, each place checked against the file before it is read. It needs nothing
// from the platform: pilro-place reads files with it, and the relay and the stub their own
// image as the loader mapped it.
#ifndef PILRO_PE_IMAGE_H
#define PILRO_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pilro::pe {

// IMAGE_FILE_MACHINE_* values of the machines the relay is built for.
inline constexpr unsigned machine_x86 = 0x014C;
inline constexpr unsigned machine_x86_64 = 0x8664;

// "x86", "x86-64", or "machine 0xNNNN".
std::string machine_name(unsigned machine);

std::uint16_t read16(std::string_view bytes, std::size_t at);
std::uint32_t read32(std::string_view bytes, std::size_t at);
void write16(std::string& bytes, std::size_t at, std::uint32_t value);
void write32(std::string& bytes, std::size_t at, std::uint32_t value);

struct section {
    std::string name;  // up to 8 bytes, without the NULs that pad it
    std::uint32_t virtual_size;
    std::uint32_t virtual_address;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
    std::uint32_t characteristics;
};

// How the bytes lie: as in the file, where sections are found by their raw offsets, or as the
// loader mapped them, where every RVA is an offset from the image's start.
enum class layout { file, mapped };

class image {
  public:
    // Reads the headers and the section table of the module in bytes, which must stay where they
    // are, unchanged, while the image is used. False with why ("its PE header is cut short")
    // when they are not a PE module's.
    bool read(std::string_view bytes, layout how, std::string& why);

    std::string_view bytes() const { return bytes_; }
    unsigned machine() const { return machine_; }
    bool pe32_plus() const { return pe32_plus_; }
    bool dll() const { return dll_; }
    const std::vector<section>& sections() const { return sections_; }
    std::uint32_t directory_count() const { return directory_count_; }
    // Data directory number k (0: exports): its RVA and size, zeros where the header has none.
    std::uint32_t directory_rva(unsigned k) const;
    std::uint32_t directory_size(unsigned k) const;

    // Where the header fields that a new section changes lie in the bytes.
    std::size_t file_header() const { return file_header_; }
    std::size_t optional_header() const { return optional_header_; }
    std::size_t section_table() const { return section_table_; }
    std::uint32_t section_alignment() const { return section_alignment_; }
    std::uint32_t file_alignment() const { return file_alignment_; }
    std::uint32_t size_of_headers() const { return size_of_headers_; }
    std::uint32_t size_of_image() const { return size_of_image_; }

    // The n bytes at rva, or false when they do not all lie in the bytes (in the file: within
    // one section's raw data, or the headers).
    bool at(std::uint32_t rva, std::uint32_t n, std::string_view& out) const;
    // The NUL-terminated text at rva, without its NUL; false when it runs out of the bytes.
    bool text_at(std::uint32_t rva, std::string_view& out) const;
    // The section whose name is name, or null.
    const section* find_section(std::string_view name) const;

  private:
    std::string_view bytes_;
    layout layout_ = layout::file;
    unsigned machine_ = 0;
    bool pe32_plus_ = false;
    bool dll_ = false;
    std::size_t file_header_ = 0;
    std::size_t optional_header_ = 0;
    std::size_t section_table_ = 0;
    std::uint32_t section_alignment_ = 0;
    std::uint32_t file_alignment_ = 0;
    std::uint32_t size_of_headers_ = 0;
    std::uint32_t size_of_image_ = 0;
    std::uint32_t directory_count_ = 0;
    std::vector<section> sections_;
};

// The size of the image that starts with these bytes as the loader maps it (SizeOfImage), for
// reading a mapped image whose size is not known yet; 0 when they are no PE headers. The
// headers lie in the image's first page, so 4096 bytes are enough.
std::uint32_t mapped_size(std::string_view first_page);

// An export table, read and checked whole: every RVA, count and name lies in the image. Its
// texts point into the image's bytes.
struct export_table {
    std::uint32_t characteristics = 0;
    std::uint32_t time_date_stamp = 0;
    std::uint16_t major_version = 0;
    std::uint16_t minor_version = 0;
    // The module's name as its table gives it.
    std::string_view name;
    // The ordinal of functions[0].
    std::uint32_t base = 1;
    // The functions' RVAs by ordinal less base; 0 for an ordinal that is not exported.
    std::vector<std::uint32_t> functions;
    struct named {
        std::string_view name;
        std::uint32_t index;  // into functions
    };
    // In the table's order.
    std::vector<named> names;
};

// The most exports a table may have: an ordinal has 16 bits.
inline constexpr std::uint32_t most_exports = 65535;

// Reads the image's export table into out. False with why when it has none (why then says
// so), or when it is damaged: cut short, pointing outside the image, names that run out of it,
// name ordinals past the functions, or more than most_exports functions.
bool read_exports(const image& module, export_table& out, std::string& why);

// The name of function index in the table (the first one the table gives it), or empty when it
// is exported by ordinal only.
std::string_view name_of(const export_table& table, std::uint32_t index);

}  // namespace pilro::pe

#endif
