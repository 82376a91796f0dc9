#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "files.h"

namespace pilro::files {

const char separator = '/';

bool make_directory(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0;
}

void remove_tree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    // Removing its entries needs write permission on the directory itself, which a scratch
    // directory may have lost.
    chmod(path.c_str(), 0755);
    for (const std::string& name : directory_entries(path)) {
        remove_tree(path + "/" + name);
    }
    rmdir(path.c_str());
}

bool remove_empty_directory(const std::string& path) {
    return rmdir(path.c_str()) == 0;
}

bool copy_file(const std::string& from, const std::string& to) {
    // A read that ends early reads as a shorter file; the size says whether all of it came.
    const std::int64_t size = file_size(from);
    if (size < 0) {
        return false;
    }
    const std::string bytes = read_file(from);
    return static_cast<std::int64_t>(bytes.size()) == size && write_file(to, bytes);
}

std::string read_file(const std::string& path) {
    std::string bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    std::fclose(file);
    return bytes;
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

bool file_exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> directory_entries(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool change_directory(const std::string& path) {
    return chdir(path.c_str()) == 0;
}

std::string current_directory() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

std::int64_t file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

void empty_file(const std::string& path) {
    if (truncate(path.c_str(), 0) != 0) {
        // Absent: nothing to empty.
    }
}

bool resize_file(const std::string& path, std::int64_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const bool resized = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return resized;
}

void remove_file(const std::string& path) {
    unlink(path.c_str());
}

unsigned ansi_code_page() noexcept {
    return 0;
}

}  // namespace pilro::files
