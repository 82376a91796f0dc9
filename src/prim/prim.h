// The operating system, behind one narrow contract. Everything the module and its host tool
// need from the platform is declared here; src/prim/windows/ and src/prim/unix/ each implement
// it, and src/prim/prim.cpp picks one. No other file of the module looks at the platform,
// except the one that holds the loader's entry function.
#ifndef PILRO_PRIM_H
#define PILRO_PRIM_H

#include <cstddef>
#include <string>

#if defined(_WIN32)
#define PILRO_CDECL __cdecl
// Exports are named by the .def file, so nothing is marked in the source.
#define PILRO_EXPORT
#else
#define PILRO_CDECL
#define PILRO_EXPORT __attribute__((visibility("default")))
#endif

namespace pilro::prim {

// Whether the backslash separates path components. On Windows it does, beside '/'; on POSIX it is
// an ordinary byte of a file name (and the trail byte of some double-byte characters).
#if defined(_WIN32)
inline constexpr bool backslash_separates = true;
#else
inline constexpr bool backslash_separates = false;
#endif

// ---- Memory blocks exchanged with a host --------------------------------------------------
// On Windows a block is a GMEM_FIXED global memory block, whose handle is its address; on
// POSIX it is a malloc'd pointer. Either way the handle can be read and written directly.

// Returns a new block of n bytes, or null when memory runs out.
void* block_alloc(std::size_t n) noexcept;
// Frees a block made by block_alloc (or by the host's own GlobalAlloc / malloc). Null is
// ignored.
void block_free(void* block) noexcept;
// How many bytes of the block may be read, as far as the platform can tell: GlobalSize on
// Windows, malloc_usable_size on glibc. Precondition: block is non-null and was made by the
// platform's allocator.
std::size_t block_size(const void* block) noexcept;

// ---- Text and files -------------------------------------------------------------------------

// True when c is the lead byte of a double-byte character in the system ANSI code page. The
// table is built once, when the module starts; platforms without such a code page have no
// lead bytes.
bool is_lead_byte(unsigned char c) noexcept;

// Writes the full path of the module file that holds this code into buf (cap bytes, cap >= 1)
// and returns its length. module is the loader's handle for it on Windows and unused
// elsewhere. Returns 0, with buf empty, when the path cannot be had or does not fit.
std::size_t module_file_path(void* module, char* buf, std::size_t cap) noexcept;

// One append cycle: open the file at path (creating it if absent, never truncating), write
// the n bytes at its end, close it. The n bytes land in one piece, never interleaved with
// another append to the same file by any thread or process. Failure is silent. path is
// NUL-terminated.
void append_to_file(const char* path, const char* bytes, std::size_t n) noexcept;

// ---- Loading modules (used by hosts and tests, never by the module itself) ----------------

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

// ---- The host's side of the console and file system ----------------------------------------

// Puts standard input and output into binary mode, so that request and reply bytes pass
// unchanged. Windows' C runtime opens them in text mode, which turns CR LF into LF on input,
// stops reading at Ctrl+Z and turns LF into CR LF on output; elsewhere there is nothing to do.
// Call before the first read or write.
void set_binary_stdio() noexcept;

// The full path of the existing file or directory at path: made absolute against the current
// directory, with "." and ".." resolved (on POSIX symbolic links too). Empty when it cannot
// be had.
std::string full_path(const std::string& path);

}  // namespace pilro::prim

#endif
