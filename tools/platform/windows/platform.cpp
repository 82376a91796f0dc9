// Windows implementation of the tools' platform contract in platform.h. Included by
// tools/platform/platform.cpp.
#include "../platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <io.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>

namespace pilro::platform {
namespace {

// UTF-16 and UTF-8 both ways through the system's own conversion. MB_ERR_INVALID_CHARS and
// WC_ERR_INVALID_CHARS make malformed input fail instead of turning into U+FFFD.
bool widen(UINT code_page, std::string_view in, std::wstring& out) {
    out.clear();
    if (in.empty()) {
        return true;
    }
    const int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, in.data(),
                                      static_cast<int>(in.size()), nullptr, 0);
    if (n <= 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(n));
    return MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, in.data(),
                               static_cast<int>(in.size()), &out[0], n) == n;
}

// To a code page without a best fit ("\u00A5" does not become "\\" in code page 932) and
// without the default character: a character the code page lacks fails the conversion.
bool narrow(UINT code_page, std::wstring_view in, std::string& out) {
    out.clear();
    if (in.empty()) {
        return true;
    }
    // The UTF code pages take neither flag nor the used-default pointer; they fail only on
    // lone surrogates, and only when told to.
    const bool utf = code_page == CP_UTF8 || code_page == CP_UTF7;
    const DWORD flags = utf ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* used = utf ? nullptr : &used_default;
    const int n = WideCharToMultiByte(code_page, flags, in.data(), static_cast<int>(in.size()),
                                      nullptr, 0, nullptr, used);
    if (n <= 0 || used_default) {
        return false;
    }
    out.resize(static_cast<std::size_t>(n));
    return WideCharToMultiByte(code_page, flags, in.data(), static_cast<int>(in.size()), &out[0], n,
                               nullptr, used) == n &&
           !used_default;
}

}  // namespace

void* library_open(const char* path, std::string& error) {
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr) {
        const DWORD code = GetLastError();
        char text[512] = {};
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text, sizeof text, nullptr);
        std::string reason(text);
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                                   reason.back() == ' ' || reason.back() == '.')) {
            reason.pop_back();
        }
        error = "error " + std::to_string(code) + (reason.empty() ? "" : ": " + reason);
    }
    return library;
}

void* library_symbol(void* library, const char* name) noexcept {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void* library_symbol_by_ordinal(void* library, unsigned ordinal) noexcept {
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(library), MAKEINTRESOURCEA(ordinal)));
}

void library_close(void* library) noexcept {
    FreeLibrary(static_cast<HMODULE>(library));
}

std::string library_file_path(const std::string& path) {
    // LoadLibrary searches its list of directories (system ones first) for a name without a
    // path, and appends ".dll" to a file name without a dot; a trailing dot stands for "no
    // extension" and is dropped again. A 0x5C trail byte is part of its character, not a
    // separator.
    bool has_directory = false;
    bool name_has_dot = false;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (IsDBCSLeadByte(c)) {
            ++i;
        } else if (c == '\\' || c == '/' || c == ':') {
            has_directory = true;
            name_has_dot = false;
        } else if (c == '.') {
            name_has_dot = true;
        }
    }
    return (has_directory ? "" : ".\\") + path + (name_has_dot ? "" : ".");
}

namespace {

// The errno value of platform.h for a system error code.
int errno_for(DWORD code);

// Why the file at path could not be opened or removed, code being the system's error: a
// directory is refused as access denied, which would send the user looking at the permissions.
int failure_of(const std::string& path, DWORD code) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return EISDIR;
    }
    return errno_for(code);
}

int errno_for(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        default:
            return EIO;
    }
}

}  // namespace

bool loads_pe_modules() noexcept {
    return true;
}

unsigned loadable_machine() noexcept {
#if defined(_M_IX86) || defined(__i386__)
    return 0x014C;  // IMAGE_FILE_MACHINE_I386
#elif defined(_M_ARM64) || defined(__aarch64__)
    return 0xAA64;  // IMAGE_FILE_MACHINE_ARM64
#elif defined(_M_X64) || defined(__x86_64__)
    return 0x8664;  // IMAGE_FILE_MACHINE_AMD64
#elif defined(_M_ARM) || defined(__arm__)
    return 0x01C4;  // IMAGE_FILE_MACHINE_ARMNT
#else
    return 0;
#endif
}

void set_binary_stdio() noexcept {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

std::string full_path(const std::string& path) {
    char buffer[MAX_PATH];
    const DWORD n =
        GetFullPathNameA(path.c_str(), static_cast<DWORD>(sizeof buffer), buffer, nullptr);
    if (n == 0) {
        return std::string();
    }
    if (n < sizeof buffer) {
        return std::string(buffer, n);
    }
    // Too long for MAX_PATH: n is the size needed, terminating NUL included.
    std::string longer(n, '\0');
    const DWORD m = GetFullPathNameA(path.c_str(), n, &longer[0], nullptr);
    if (m == 0 || m >= n) {
        return std::string();
    }
    longer.resize(m);
    return longer;
}

int read_file_from(const std::string& path, std::uint64_t offset, std::string& bytes,
                   std::uint64_t& size, file_identity& identity, std::size_t most) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return failure_of(path, GetLastError());
    }
    int result = 0;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        result = EIO;
    } else {
        size = static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
        identity = {info.dwVolumeSerialNumber,
                    static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (offset < size && !SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
            result = EIO;
        }
        char chunk[65536];
        DWORD got = 0;
        while (result == 0 && offset < size && most > 0) {
            if (!ReadFile(file, chunk,
                          static_cast<DWORD>(most < sizeof chunk ? most : sizeof chunk), &got,
                          nullptr)) {
                result = EIO;
            } else if (got == 0) {
                break;
            } else {
                bytes.append(chunk, got);
                most -= got;
            }
        }
    }
    CloseHandle(file);
    return result;
}

int write_file(const std::string& path, std::string_view bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return failure_of(path, GetLastError());
    }
    std::size_t done = 0;
    DWORD wrote = 0;
    while (done < bytes.size()) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1 << 20);
        if (!WriteFile(file, bytes.data() + done, static_cast<DWORD>(chunk), &wrote, nullptr) ||
            wrote == 0) {
            break;
        }
        done += wrote;
    }
    const bool closed = CloseHandle(file) != 0;
    if (done < bytes.size() || !closed) {
        DeleteFileA(path.c_str());
        return EIO;
    }
    return 0;
}

int remove_file(const std::string& path) {
    return DeleteFileA(path.c_str()) ? 0 : failure_of(path, GetLastError());
}

std::string program_path() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, static_cast<DWORD>(sizeof path));
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}

std::string path_text(const std::string& path) {
    std::wstring wide;
    std::string text;
    return widen(CP_ACP, path, wide) && narrow(CP_UTF8, wide, text) ? text : std::string();
}

bool write_text(std::string_view text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) {
        // A file or a pipe: the bytes, for whatever reads them.
        return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
               std::fflush(stdout) == 0;
    }
    std::fflush(stdout);
    std::wstring wide;
    if (!widen(CP_UTF8, text, wide)) {
        return false;
    }
    // Consoles of older systems refuse long writes; a piece ends before a surrogate pair's
    // second half rather than split the character.
    std::size_t at = 0;
    while (at < wide.size()) {
        std::size_t n = wide.size() - at < 8192 ? wide.size() - at : 8192;
        if (at + n < wide.size() && IS_HIGH_SURROGATE(wide[at + n - 1])) {
            --n;
        }
        DWORD written = 0;
        if (!WriteConsoleW(out, wide.data() + at, static_cast<DWORD>(n), &written, nullptr) ||
            written == 0) {
            return false;
        }
        at += written;
    }
    return true;
}

std::vector<argument> program_arguments(int argc, char** argv) {
    std::vector<argument> words;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        // Out of memory this early: the runtime's words, whose text is their ANSI reading.
        for (int i = 1; i < argc; ++i) {
            argument word{argv[i], std::string(), std::string()};
            std::wstring as_wide;
            if (!widen(CP_ACP, word.bytes, as_wide) || !narrow(CP_UTF8, as_wide, word.text)) {
                word.not_text = "it could not be read from the command line";
            }
            words.push_back(std::move(word));
        }
        return words;
    }
    // The same rules for quotes and backslashes as the runtime's own parser; the program's
    // name (whose rules differ) is skipped.
    for (int i = 1; i < count; ++i) {
        const std::wstring_view word(wide[i]);
        argument converted;
        // The runtime's own conversion: best fit and '?' for what the code page lacks, as
        // file names given on the command line have always been read.
        const int n = WideCharToMultiByte(CP_ACP, 0, word.data(), static_cast<int>(word.size()),
                                          nullptr, 0, nullptr, nullptr);
        if (n > 0) {
            converted.bytes.resize(static_cast<std::size_t>(n));
            WideCharToMultiByte(CP_ACP, 0, word.data(), static_cast<int>(word.size()),
                                &converted.bytes[0], n, nullptr, nullptr);
        }
        if (!narrow(CP_UTF8, word, converted.text)) {
            converted.text.clear();
            converted.not_text = "it holds half of a UTF-16 surrogate pair";
        }
        words.push_back(std::move(converted));
    }
    LocalFree(wide);
    return words;
}

charset_converter::charset_converter(const native_charset& charset, bool from_utf8)
    : charset_(charset), from_utf8_(from_utf8) {}

charset_converter::~charset_converter() = default;

bool charset_converter::usable() const noexcept {
    return charset_.code_page != 0 && IsValidCodePage(charset_.code_page) != FALSE;
}

bool charset_converter::convert(std::string_view in, std::string& out) {
    if (!usable()) {
        return false;
    }
    std::wstring wide;
    std::string converted;
    const bool done = from_utf8_
                          ? widen(CP_UTF8, in, wide) && narrow(charset_.code_page, wide, converted)
                          : widen(charset_.code_page, in, wide) && narrow(CP_UTF8, wide, converted);
    if (done) {
        out += converted;
    }
    return done;
}

}  // namespace pilro::platform
