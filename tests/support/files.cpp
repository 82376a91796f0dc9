#include "files.h"

#include "pe/pe_image.h"
#include "pe/placement.h"

namespace pilro::files {

std::string built_module() {
    return PILRO_BUILT_MODULE;
}

std::string built_relay() {
    return PILRO_BUILT_RELAY;
}

std::string built_stub() {
    return PILRO_BUILT_STUB;
}

std::string built_echo_module() {
    return PILRO_BUILT_ECHO;
}

std::string place_with_exports(const std::string& directory, const std::string& stand_in,
                               const std::string& real, std::string& why) {
    const std::string real_path = directory + separator + "foo.dll";
    const std::string path = directory + separator + "foo.pilro.dll";
    const std::string own_bytes = read_file(stand_in);
    const std::string real_bytes = copy_file(real, real_path) ? read_file(real_path) : "";
    pe::image own;
    pe::image module;
    pe::descriptor d{};
    pe::export_table table;
    pe::placed out;
    if (!own.read(own_bytes, pe::layout::file, why) || !pe::read_descriptor(own, d, why) ||
        !module.read(real_bytes, pe::layout::file, why) ||
        !pe::read_exports(module, table, why) ||
        !pe::place(own, d, table, "foo.dll", out, why)) {
        return std::string();
    }
    if (!write_file(path, out.bytes)) {
        why = "cannot write " + path;
        return std::string();
    }
    return path;
}

std::string native_path(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = separator;
        }
    }
    return path;
}

namespace {

// The directory and those above it that are missing.
bool make_directories(const std::string& path) {
    if (make_directory(path)) {
        return true;
    }
    const std::size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos || cut == 0) {
        return false;
    }
    make_directories(path.substr(0, cut));
    return make_directory(path);
}

}  // namespace

std::string fresh_directory(const std::string& root, const std::string& name) {
    const std::string path = root + separator + name;
    remove_tree(path);
    // A test process that ends removes the scratch directories above, once empty; another
    // may do so between one step here and the next.
    for (int attempt = 0; attempt < 3 && !make_directories(path); ++attempt) {
    }
    return path;
}

}  // namespace pilro::files
