// POSIX implementation of the tools' platform contract in platform.h. Included by
// tools/platform/platform.cpp.
#include "../platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>

namespace pilro::platform {

void* library_open(const char* path, std::string& error) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "unknown error";
    }
    return library;
}

void* library_symbol(void* library, const char* name) noexcept {
    return dlsym(library, name);
}

void* library_symbol_by_ordinal(void*, unsigned) noexcept {
    return nullptr;
}

void library_close(void* library) noexcept {
    dlclose(library);
}

std::string library_file_path(const std::string& path) {
    // dlopen takes a name without a slash as a library to search for, never as a file in the
    // current directory.
    return path.find('/') == std::string::npos ? "./" + path : path;
}

bool loads_pe_modules() noexcept {
    return false;
}

unsigned loadable_machine() noexcept {
    // The EM_* numbers of the ELF format, spelt out: not every system has <elf.h>.
#if defined(__x86_64__)
    return 62;  // EM_X86_64, also for the x32 ABI, whose objects are ELFCLASS32
#elif defined(__i386__)
    return 3;  // EM_386
#elif defined(__aarch64__)
    return 183;  // EM_AARCH64
#elif defined(__arm__)
    return 40;  // EM_ARM
#elif defined(__riscv)
    return 243;  // EM_RISCV
#elif defined(__powerpc64__)
    return 21;  // EM_PPC64
#elif defined(__powerpc__)
    return 20;  // EM_PPC
#elif defined(__s390__)
    return 22;  // EM_S390, for s390x as well
#elif defined(__loongarch__)
    return 258;  // EM_LOONGARCH
#else
    return 0;
#endif
}

void set_binary_stdio() noexcept {}

std::string full_path(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

int read_file_from(const std::string& path, std::uint64_t offset, std::string& bytes,
                   std::uint64_t& size, file_identity& identity, std::size_t most) {
    // Without O_NONBLOCK a FIFO given as the file would wait for a writer to open it.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    struct stat st {};
    int result = fstat(fd, &st) != 0 ? EIO : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (result == 0) {
        size = static_cast<std::uint64_t>(st.st_size);
        identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
        char chunk[65536];
        auto at = static_cast<off_t>(offset);
        for (; most > 0;) {
            const ssize_t n = pread(fd, chunk, most < sizeof chunk ? most : sizeof chunk, at);
            if (n > 0) {
                bytes.append(chunk, static_cast<std::size_t>(n));
                at += n;
                most -= static_cast<std::size_t>(n);
            } else if (n == 0) {
                break;
            } else if (errno != EINTR) {
                result = EIO;
                break;
            }
        }
    }
    close(fd);
    return result;
}

int write_file(const std::string& path, std::string_view bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno == ENOENT || errno == EISDIR || errno == EACCES ? errno : EIO;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR) {
            break;
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    const bool closed = close(fd) == 0;
    if (done < bytes.size() || !closed) {
        unlink(path.c_str());
        return EIO;
    }
    return 0;
}

int remove_file(const std::string& path) {
    if (unlink(path.c_str()) == 0) {
        return 0;
    }
    return errno == ENOENT || errno == EISDIR || errno == EACCES || errno == EPERM
               ? (errno == EPERM ? EACCES : errno)
               : EIO;
}

std::string program_path() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    return n > 0 && static_cast<std::size_t>(n) < sizeof path
               ? std::string(path, static_cast<std::size_t>(n))
               : std::string();
}

std::string path_text(const std::string& path) {
    return path;
}

bool write_text(std::string_view text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
           std::fflush(stdout) == 0;
}

namespace {

bool is_ascii(const std::string& bytes) {
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

// The charset the user's locale names for LC_CTYPE. The process keeps the locale it had (the
// "C" locale, unless somebody changed it), so that a loaded module sees what it always saw.
std::string locale_charset() {
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    const std::string previous = current != nullptr ? current : "C";
    std::string codeset;
    if (std::setlocale(LC_CTYPE, "") != nullptr) {
        const char* name = nl_langinfo(CODESET);
        codeset = name != nullptr ? name : "";
    }
    std::setlocale(LC_CTYPE, previous.c_str());
    // A locale the system does not have leaves the "C" locale, whose charset is ASCII.
    return codeset.empty() ? "ANSI_X3.4-1968" : codeset;
}

}  // namespace

std::vector<argument> program_arguments(int argc, char** argv) {
    std::vector<argument> words;
    std::string codeset;
    for (int i = 1; i < argc; ++i) {
        argument word{argv[i], std::string(), std::string()};
        if (is_ascii(word.bytes)) {
            // Every charset a POSIX locale may have keeps ASCII as it is; no need to ask.
            word.text = word.bytes;
        } else {
            if (codeset.empty()) {
                codeset = locale_charset();
            }
            charset_converter to_utf8({0, codeset.c_str()}, false);
            if (!to_utf8.convert(word.bytes, word.text)) {
                word.text.clear();
                word.not_text = "it is no text in the charset of the locale (" + codeset +
                                "; set LC_ALL or LANG to the terminal's, such as C.UTF-8)";
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

charset_converter::charset_converter(const native_charset& charset, bool from_utf8)
    : charset_(charset), from_utf8_(from_utf8) {
    if (charset.iconv_name == nullptr) {
        return;
    }
    const iconv_t opened = from_utf8 ? iconv_open(charset.iconv_name, "UTF-8")
                                     : iconv_open("UTF-8", charset.iconv_name);
    if (opened != reinterpret_cast<iconv_t>(-1)) {
        handle_ = opened;
    }
}

charset_converter::~charset_converter() {
    if (handle_ != nullptr) {
        iconv_close(static_cast<iconv_t>(handle_));
    }
}

bool charset_converter::usable() const noexcept {
    return handle_ != nullptr;
}

bool charset_converter::convert(std::string_view in, std::string& out) {
    if (handle_ == nullptr) {
        return false;
    }
    const auto cd = static_cast<iconv_t>(handle_);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string converted(in.size() * 4 + 16, '\0');
    char* from = const_cast<char*>(in.data());
    std::size_t from_left = in.size();
    std::size_t done = 0;
    for (;;) {
        char* to = &converted[done];
        std::size_t to_left = converted.size() - done;
        // Past the input, a null source asks for the bytes that end a shift state.
        const std::size_t result = from_left > 0 ? iconv(cd, &from, &from_left, &to, &to_left)
                                                 : iconv(cd, nullptr, nullptr, &to, &to_left);
        done = converted.size() - to_left;
        if (result == static_cast<std::size_t>(-1)) {
            if (errno != E2BIG) {
                // EILSEQ: a character with no counterpart, or malformed input; EINVAL: input
                // that ends inside a character.
                return false;
            }
            converted.resize(converted.size() * 2);
            continue;
        }
        // A count of irreversible conversions: something was approximated.
        if (result != 0) {
            return false;
        }
        if (from_left == 0 && from == nullptr) {
            break;
        }
        if (from_left == 0) {
            from = nullptr;
        }
    }
    converted.resize(done);
    out += converted;
    return true;
}

}  // namespace pilro::platform
