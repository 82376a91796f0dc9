// The three functions a SAORI/1.0 host finds by name in the module.
//
// Texts cross in memory blocks: a block the host passes in becomes the module's and is freed
// before the call returns; the block request() returns becomes the host's. On Windows a block
// is an HGLOBAL made with GMEM_FIXED (its handle is its address), BOOL is int and TRUE is 1;
// on POSIX a block is a malloc'd pointer.
#ifndef PILRO_EXPORTS_H
#define PILRO_EXPORTS_H

#include "../prim/prim.h"

extern "C" {

// Logs the load data (length bytes of block) and frees the block. Returns 1.
PILRO_EXPORT int PILRO_CDECL load(void* block, long length);

// One exchange. *length holds the request's byte count on entry and the reply's on return;
// the returned block holds the reply followed by a NUL that *length does not count.
PILRO_EXPORT void* PILRO_CDECL request(void* block, long* length);

// Logs the call. Returns 1.
PILRO_EXPORT int PILRO_CDECL unload(void);
}

#endif
