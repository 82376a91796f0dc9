// The operating system, behind one narrow contract. Everything the module files need from
// the platform is declared here; src/prim/windows/ and src/prim/unix/ each implement it, and
// src/prim/prim.cpp picks one (src/prim/clock.cpp, loader.cpp and reader.cpp the parts that
// only the relay or the stub need). No other file of the module looks at the platform, except
// the one that holds the loader's entry function.
// What only hosts need (loading modules, the console, the command line) is in tools/platform/.
#ifndef PILRO_PRIM_H
#define PILRO_PRIM_H

#include <cstddef>
#include <cstdint>

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
// another append to the same file by any thread or process. path is NUL-terminated. Returns
// whether all n bytes were written; nobody is told otherwise. When end is given and they
// were, *end receives the file's offset just past them: where the entry ends in the file,
// whoever else appends at the same time.
bool append_to_file(const char* path, const char* bytes, std::size_t n,
                    std::uint64_t* end = nullptr) noexcept;

// ---- Time: the relay's and the stub's part (clock.cpp) ---------------------------------------

// Microseconds from some fixed moment, never going backwards whatever the system clock does:
// for timing calls, not for telling the time.
std::uint64_t monotonic_microseconds() noexcept;

// Gives up the processor for a moment (about a millisecond), for waits that poll.
void pause() noexcept;

// ---- Texts for notes: the relay's and the stub's part (text.cpp) ------------------------------

// The text as the system's file API names things (a path, on Windows in the system ANSI code
// page) in UTF-8, which every note is written in: into out (cap bytes, no NUL added), setting
// size. False when it cannot be converted or does not fit, with anything in out. POSIX names
// files in bytes; they are taken as they are.
bool native_to_utf8(const char* text, std::size_t n, char* out, std::size_t cap,
                    std::size_t& size) noexcept;

// ---- A module loaded by this one: the relay's part (loader.cpp), and the stub's ------------
// The stub loads the real module only for the exports that pilro-place gave it besides its own.
// Never from the loader's notifications (DllMain): the loader's lock is held there.

// Loads the module file at path (full, NUL-terminated) so that its own dependencies resolve
// as they would if a host had loaded it by that path. Returns null on failure, with the
// system's reason in why (cap >= 1 bytes, NUL-terminated, in UTF-8 on Windows and as the C
// library gives it on POSIX, possibly holding line breaks).
void* module_load(const char* path, char* why, std::size_t cap) noexcept;
// The address of the module's export of that name, or null.
void* module_export(void* module, const char* name) noexcept;
// The address of the module's export with that ordinal; null, and always so where the
// platform numbers no exports.
void* module_export_by_ordinal(void* module, unsigned ordinal) noexcept;
// Releases a module from module_load. Its code must not be running anywhere any more.
void module_release(void* module) noexcept;

// ---- A file read whole: the stub's part (reader.cpp) -----------------------------------------

// Reads the whole file at path (full, NUL-terminated) into a new buffer from std::malloc, which
// the caller frees, and sets size to the number of bytes read. The file is open for this call
// only, and shared with readers, writers and deletion: it is never locked against its user.
// Returns null, with the reason in why (cap >= 1 bytes, NUL-terminated, in UTF-8 on Windows and
// as the C library gives it on POSIX, possibly holding line breaks), when it cannot be read: the
// system's reason, "Is a directory" for a directory, "not a regular file" for a pipe or a device;
// *missing, where given, says whether that was because there is no such file. When it holds more
// than limit bytes, returns null with size set to its size and why empty. Never from the loader's
// notifications either.
char* read_file(const char* path, std::size_t limit, std::uint64_t& size, char* why,
                std::size_t cap, bool* missing = nullptr) noexcept;

}  // namespace pilro::prim

#endif
