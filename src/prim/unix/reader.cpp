// POSIX implementation of the stub's part of the platform contract in prim.h: a file read
// whole. Included by src/prim/reader.cpp.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "../prim.h"

namespace pilro::prim {
namespace {

// Fresh memory costs a page fault per page as the file's bytes arrive: on a virtual machine
// that was most of the read (0.37 s of processor time for 100 MB, against 0.02 s in huge
// pages). Asking for huge pages where the system has them is only a hint.
void prefer_huge_pages(char* bytes, std::size_t size) noexcept {
#if defined(MADV_HUGEPAGE)
    const std::uintptr_t page = 4096;
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(bytes) + page - 1) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(bytes) + size) & ~(page - 1);
    if (size >= (std::size_t{2} << 20) && end > start) {
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    }
#else
    (void)bytes;
    (void)size;
#endif
}

void say(int code, char* why, std::size_t cap) noexcept {
    try {
        std::snprintf(why, cap, "%s", std::generic_category().message(code).c_str());
    } catch (...) {
        std::snprintf(why, cap, "error %d", code);
    }
}

}  // namespace

char* read_file(const char* path, std::size_t limit, std::uint64_t& size, char* why,
                std::size_t cap, bool* missing) noexcept {
    size = 0;
    why[0] = '\0';
    if (missing != nullptr) {
        *missing = false;
    }
    // Without O_NONBLOCK a FIFO in the file's place would wait for a writer to open it.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (missing != nullptr) {
            *missing = errno == ENOENT;
        }
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
        } else {
            prefer_huge_pages(bytes, static_cast<std::size_t>(size));
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
