#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "test_os.h"

namespace pilro::test {

const char separator = '/';

std::string built_module() {
    return PILRO_BUILT_MODULE;
}

bool make_directory(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0;
}

void remove_tree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0755);
        if (DIR* dir = opendir(path.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    remove_tree(path + "/" + name);
                }
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string fresh_directory(const std::string& name) {
    const std::string root = PILRO_TEST_SCRATCH;
    mkdir(root.c_str(), 0755);
    const std::string path = root + "/" + name;
    remove_tree(path);
    make_directory(path);
    return path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool copy_file(const std::string& from, const std::string& to) {
    if (!file_exists(from)) {
        return false;
    }
    return write_file(to, read_file(from));
}

bool file_exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

unsigned ansi_code_page() {
    return 0;
}

}  // namespace pilro::test
