// POSIX implementation of the stub's part of the platform contract in prim.h: a file read
// whole. Included by src/prim/reader.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "../prim.h"

namespace pilro::prim {
namespace {

void say(int code, char* why, std::size_t cap) noexcept {
    try {
        std::snprintf(why, cap, "%s", std::generic_category().message(code).c_str());
    } catch (...) {
        std::snprintf(why, cap, "error %d", code);
    }
}

}  // namespace

char* read_file(const char* path, std::size_t limit, std::uint64_t& size, char* why,
                std::size_t cap) noexcept {
    size = 0;
    why[0] = '\0';
    // Without O_NONBLOCK a FIFO in the file's place would wait for a writer to open it.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        say(errno, why, cap);
        return nullptr;
    }
    char* bytes = nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        say(errno, why, cap);
    } else if (S_ISDIR(st.st_mode)) {
        say(EISDIR, why, cap);
    } else if (!S_ISREG(st.st_mode)) {
        // A pipe or a device would be read for ever, or not at all.
        std::snprintf(why, cap, "not a regular file");
    } else if ((size = static_cast<std::uint64_t>(st.st_size)) <= limit) {
        bytes = static_cast<char*>(std::malloc(size > 0 ? static_cast<std::size_t>(size) : 1));
        if (bytes == nullptr) {
            say(ENOMEM, why, cap);
        }
        std::uint64_t got = 0;
        while (bytes != nullptr && got < size) {
            const ssize_t n = read(fd, bytes + got, static_cast<std::size_t>(size - got));
            if (n > 0) {
                got += static_cast<std::uint64_t>(n);
            } else if (n == 0) {
                size = got;  // cut shorter since its size was taken
            } else if (errno != EINTR) {
                say(errno, why, cap);
                std::free(bytes);
                bytes = nullptr;
            }
        }
    }
    close(fd);
    return bytes;
}

}  // namespace pilro::prim
