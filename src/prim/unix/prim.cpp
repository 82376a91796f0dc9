// POSIX implementation of the platform contract in prim.h. Included by src/prim/prim.cpp.
#include "../prim.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace pilro::prim {

void* block_alloc(std::size_t n) noexcept {
    // malloc(0) may return null; a host must always get a block it can free.
    return std::malloc(n == 0 ? 1 : n);
}

void block_free(void* block) noexcept {
    std::free(block);
}

std::size_t block_size(const void* block) noexcept {
    return malloc_usable_size(const_cast<void*>(block));
}

bool is_lead_byte(unsigned char) noexcept {
    return false;
}

std::size_t module_file_path(void*, char* buf, std::size_t cap) noexcept {
    // dladdr names the file this code was loaded from, as the loader found it. That name is
    // absolute when the host named the module by an absolute path, as hosts do; a relative
    // one is relative to the directory that was current at load time, so it is anchored now,
    // before the host has a chance to change directory. Symbolic links are left as they are,
    // as Windows leaves them: the log goes beside the name the host used.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&module_file_path), &info) == 0 ||
        info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
        buf[0] = '\0';
        return 0;
    }
    const char* name = info.dli_fname;
    std::size_t n = 0;
    if (name[0] != '/') {
        if (getcwd(buf, cap) == nullptr) {
            buf[0] = '\0';
            return 0;
        }
        n = std::strlen(buf);
        if (n > 0 && buf[n - 1] != '/' && n < cap) {
            buf[n++] = '/';
        }
    }
    const std::size_t name_length = std::strlen(name);
    if (n + name_length >= cap) {
        // Cut short, its directory would be some other directory.
        buf[0] = '\0';
        return 0;
    }
    std::memcpy(buf + n, name, name_length + 1);
    return n + name_length;
}

bool append_to_file(const char* path, const char* bytes, std::size_t n,
                    std::uint64_t* end) noexcept {
    // O_APPEND stands in for the seek to the end: the kernel places every write at the end of
    // the file at the moment of writing, and leaves this descriptor's offset just past it.
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
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
    bool whole = n == 0;
    if (whole && end != nullptr) {
        const off_t offset = lseek(fd, 0, SEEK_CUR);
        whole = offset >= 0;
        *end = static_cast<std::uint64_t>(offset);
    }
    close(fd);
    return whole;
}

}  // namespace pilro::prim
