#include "files.h"

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
