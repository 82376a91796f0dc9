// The operating system as the host-side programs see it: the tools, and the tests and
// benchmarks that load the module the way a host does. The module itself never uses any of
// this (its own contract is src/prim/prim.h). tools/platform/windows/ and tools/platform/unix/
// each implement it, and tools/platform/platform.cpp picks one; charset.h builds the charsets
// on top of it.
#ifndef PILRO_TOOLS_PLATFORM_H
#define PILRO_TOOLS_PLATFORM_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pilro::platform {

// ---- Loading modules -------------------------------------------------------------------------

// Loads the shared library at path. On failure returns null and puts the platform's reason
// into error.
void* library_open(const char* path, std::string& error);
// The address of an exported symbol, or null.
void* library_symbol(void* library, const char* name) noexcept;
// The address of the export with the given ordinal; null where the platform has none.
void* library_symbol_by_ordinal(void* library, unsigned ordinal) noexcept;
// Releases the library.
void library_close(void* library) noexcept;

// The path to give library_open so that it loads the file at path and no other: for a bare
// file name the loaders search directories of their own (the current one last or not at all),
// and Windows adds ".dll" to a file name without an extension.
std::string library_file_path(const std::string& path);

// What this process's loader accepts, as a module file's header records it. True for PE
// files (Windows DLLs), false for ELF shared objects.
bool loads_pe_modules() noexcept;
// The machine number of this build: an IMAGE_FILE_MACHINE_* value where the loader takes PE
// files, an EM_* value where it takes ELF files; 0 for a machine not known here, which a host
// then does not check. The word size follows from sizeof(void*).
unsigned loadable_machine() noexcept;

// ---- Console and file system -----------------------------------------------------------------

// Puts standard input and output into binary mode, so that request and reply bytes pass
// unchanged. Windows' C runtime opens them in text mode, which turns CR LF into LF on input,
// stops reading at Ctrl+Z and turns LF into CR LF on output; elsewhere there is nothing to do.
// Call before the first read or write.
void set_binary_stdio() noexcept;

// The full path of the existing file or directory at path: made absolute against the current
// directory, with "." and ".." resolved (on POSIX symbolic links too). Empty when it cannot
// be had.
std::string full_path(const std::string& path);

// Which file a path named when it was read: its volume and its number there (on POSIX the
// device and the inode). A file removed and made anew mostly gets another number, but a system
// may hand the old one out again.
struct file_identity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};
inline bool operator==(const file_identity& a, const file_identity& b) {
    return a.volume == b.volume && a.index == b.index;
}
inline bool operator!=(const file_identity& a, const file_identity& b) {
    return !(a == b);
}

// Appends to bytes what the file at path holds from byte offset to its end (its next `most`
// bytes, where it holds more), and sets size to its whole size and identity to its identity.
// The file is open for this call only, and shared with writers and with deletion: on Windows
// pilro opens its log for writing, sharing it with readers alone, and a user deletes the log
// while others read it. Returns 0, or why the file could not be read, as an errno value that is
// the same on every platform for the same cause: ENOENT (no such file), EISDIR (a directory),
// EACCES (refused, a file held by another program without sharing included); EIO for causes
// without a counterpart.
int read_file_from(const std::string& path, std::uint64_t offset, std::string& bytes,
                   std::uint64_t& size, file_identity& identity,
                   std::size_t most = static_cast<std::size_t>(-1));

// Makes the file at path hold exactly bytes: made anew, or what it held replaced. Returns 0, or
// why not as read_file_from does (EACCES also for a module file that a program has loaded, on
// Windows); a file that could not be written whole is removed again.
int write_file(const std::string& path, std::string_view bytes);
// Removes the file at path. Returns 0, or why not as read_file_from does.
int remove_file(const std::string& path);

// The full path of this program's own file; empty when it cannot be had.
std::string program_path();

// A path as the C runtime hands it over (see argument::bytes) as UTF-8 text, for a module's
// loadu: on Windows read in the ANSI code page; elsewhere as it is, since POSIX file names are
// bytes and hosts pass them on so. Empty when it is no text in that code page.
std::string path_text(const std::string& path);

// Writes UTF-8 text to standard output so that the user reads the characters it holds: on a
// Windows console through the console's wide-character API (the console's code page is
// seldom UTF-8), everywhere else as the UTF-8 bytes themselves. Returns false when it could
// not all be written. Precondition: text is valid UTF-8.
bool write_text(std::string_view text);

// ---- The command line ------------------------------------------------------------------------

// One word of the program's command line.
struct argument {
    // What file names and option words are read from: the bytes the C runtime hands main (on
    // Windows the ANSI code page's rendering of the word, which may have lost characters).
    std::string bytes;
    // The word as the user typed it, in UTF-8, when it is text; otherwise empty, with
    // not_text saying why (on POSIX, bytes that are no text in the locale's charset).
    std::string text;
    std::string not_text;
};

// argv[1..argc-1], each as bytes and as text. On Windows the words come from the wide
// command line, since the C runtime's argv has them already squeezed into the ANSI code
// page; elsewhere from argv, read in the charset that the locale (LC_ALL, LC_CTYPE, LANG)
// names. The process's own locale is left as it was.
std::vector<argument> program_arguments(int argc, char** argv);

// ---- Charsets --------------------------------------------------------------------------------

// A charset by the platform's own names for it: a Windows code page number, and the name
// iconv knows it by.
struct native_charset {
    unsigned code_page;
    const char* iconv_name;
};

// Converts between UTF-8 and one charset, strictly: a character that has no counterpart on
// the other side fails the conversion; nothing is replaced, approximated or dropped.
class charset_converter {
  public:
    // from_utf8 chooses the direction: UTF-8 to the charset, or the charset to UTF-8.
    charset_converter(const native_charset& charset, bool from_utf8);
    ~charset_converter();
    charset_converter(const charset_converter&) = delete;
    charset_converter& operator=(const charset_converter&) = delete;

    // False when this system cannot convert that charset at all.
    bool usable() const noexcept;
    // Appends the conversion of in to out and returns true, or returns false with out as it
    // was. Each call starts afresh: no shift state carries over from the call before.
    bool convert(std::string_view in, std::string& out);

  private:
    native_charset charset_;
    bool from_utf8_;
    // The open conversion where the platform has one (an iconv_t), else null.
    void* handle_ = nullptr;
};

}  // namespace pilro::platform

#endif
