// The three functions a SAORI/1.0 host finds by name in the module.
//
// Texts cross in memory blocks: a block the host passes in becomes the module's and is freed
// before the call returns; the block request() returns becomes the host's. On Windows a block
// is an HGLOBAL made with GMEM_FIXED (its handle is its address), BOOL is int and TRUE is 1;
// on POSIX a block is a malloc'd pointer.
//
// What a host gets wrong is contained rather than trusted: a null block, a null length
// pointer, a negative length or one past the block's end never lead to a read or write
// outside the host's memory; whatever cannot be read counts as the empty text.
#ifndef PILRO_EXPORTS_H
#define PILRO_EXPORTS_H

#include <cstddef>
#include <string_view>

#include "../prim/prim.h"

extern "C" {

// Logs the load data (length bytes of block, up to a NUL) and frees the block. Returns 1.
PILRO_EXPORT int PILRO_CDECL load(void* block, long length);

// One exchange. *length holds the request's byte count on entry and the reply's on return;
// the returned block holds the reply followed by a NUL that *length does not count. When
// memory runs out so that no reply block can be made, returns null with *length set to 0.
PILRO_EXPORT void* PILRO_CDECL request(void* block, long* length);

// Logs the call. Returns 1.
PILRO_EXPORT int PILRO_CDECL unload(void);
}

namespace pilro {

// The exports' types, for hosts that look them up in a loaded module file.
using load_function = int(PILRO_CDECL*)(void* block, long length);
using request_function = void*(PILRO_CDECL*)(void* block, long* length);
using unload_function = int(PILRO_CDECL*)();

using block_allocator = void* (*)(std::size_t);

// What pilro does for each call, shared by its exports, by the relay, which answers as pilro
// does whenever it is not relaying, and by the stub, which answers as pilro does whatever its
// capture does not answer (calls.cpp).

// request() with the allocator for its private copy and its reply block given, so that
// running out of memory can be tried. Blocks from alloc are freed with prim::block_free.
void* handle_request(void* block, long* length, block_allocator alloc) noexcept;
// pilro's reply to the request text, in a new block from alloc: the reply, then a NUL. Sets
// *length, where given, to the reply's byte count; or returns null with 0 when memory runs out.
void* pilro_reply(std::string_view text, long* length, block_allocator alloc) noexcept;
// The same for the reply made of the protocol token and the status after it.
void* status_reply(std::string_view protocol, std::string_view status, long* length,
                   block_allocator alloc) noexcept;
// The start of loadu()'s entry, which the relay and the stub write for the load that takes the
// folder in UTF-8 (an export pilro-place gives them where the real module has it).
inline constexpr std::string_view loadu_entry_start = "loadu() ";
// Writes load()'s entry for the load data in block (or, with loadu_entry_start, loadu()'s);
// the block stays the caller's.
void log_load(const void* block, long length, std::string_view start = "load() ") noexcept;

// How many bytes of a block may be read: what its owner says, but nothing from a null block,
// nothing for a negative length, and never past the block's end.
std::size_t readable_bytes(const void* block, long length) noexcept;
// Texts end at their first NUL byte: the length of the text in the n bytes at bytes.
std::size_t text_length(const char* bytes, std::size_t n) noexcept;

}  // namespace pilro

#endif
