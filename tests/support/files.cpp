#include "files.h"

namespace pilro::files {

std::string built_module() {
    return PILRO_BUILT_MODULE;
}

std::string built_relay() {
    return PILRO_BUILT_RELAY;
}

std::string native_path(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = separator;
        }
    }
    return path;
}

std::string fresh_directory(const std::string& root, const std::string& name) {
    make_directory(root);
    const std::string path = root + separator + name;
    remove_tree(path);
    make_directory(path);
    return path;
}

}  // namespace pilro::files
