#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace pilro::bench {

const char separator = '/';

void bare_append_cycle(const char* path, const char* bytes, std::size_t n) noexcept {
    // The seek is made even though O_APPEND would place the write at the end anyway: this is
    // the cycle as written down, open, seek to the end, write, close.
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (fd < 0) {
        return;
    }
    lseek(fd, 0, SEEK_END);
    while (n > 0) {
        const ssize_t done = write(fd, bytes, n);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            break;
        }
        bytes += done;
        n -= static_cast<std::size_t>(done);
    }
    close(fd);
}

const char* find_bytes(const char* haystack, std::size_t n, const char* needle,
                       std::size_t needle_size) noexcept {
    return static_cast<const char*>(memmem(haystack, n, needle, needle_size));
}

const char* const byte_search_name = "memmem";

unsigned build_lead_byte_table() noexcept {
    return 0;
}

bool has_lead_byte_table() noexcept {
    return false;
}

unsigned ansi_code_page() noexcept {
    return 0;
}

std::string built_module() {
    return PILRO_BENCH_MODULE;
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
}

std::string fresh_directory(const std::string& name) {
    const std::string root = PILRO_BENCH_SCRATCH;
    mkdir(root.c_str(), 0755);
    const std::string path = root + "/" + name;
    remove_tree(path);
    mkdir(path.c_str(), 0755);
    return path;
}

std::string read_file(const std::string& path) {
    std::string bytes;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return bytes;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    close(fd);
    return bytes;
}

bool copy_file(const std::string& from, const std::string& to) {
    struct stat st {};
    if (stat(from.c_str(), &st) != 0) {
        return false;
    }
    const std::string bytes = read_file(from);
    const int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return close(fd) == 0 && ok && bytes.size() == static_cast<std::size_t>(st.st_size);
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

void remove_file(const std::string& path) {
    unlink(path.c_str());
}

std::string machine_description() {
    std::string description;
    utsname name{};
    if (uname(&name) == 0) {
        description.append(name.sysname).append(" ").append(name.release).append(" ");
        description.append(name.machine);
    }
    // The processor's model name, as the kernel reports it.
    if (FILE* info = std::fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, info) != nullptr) {
            if (std::strncmp(line, "model name", 10) == 0) {
                const char* value = std::strchr(line, ':');
                if (value != nullptr) {
                    std::string model = value + 1;
                    while (!model.empty() && (model.back() == '\n' || model.back() == ' ')) {
                        model.pop_back();
                    }
                    description.append(",").append(model);
                }
                break;
            }
        }
        std::fclose(info);
    }
    description.append(", ").append(std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
    description.append(" cores");
    return description;
}

}  // namespace pilro::bench
