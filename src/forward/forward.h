// The exports of a real module that pilro-place gave the relay or the stub besides their own
// (see src/pe/placement.h): each goes to the real module's function of the same name or
// ordinal, found at its first call and called straight after that. The dispatcher
// (dispatch-*.S) finds the function in a slot per export; an empty slot has it ask here.
//
// The real module is loaded for these by its full path at the first such call, never under the
// loader's lock, and kept with a reference of its own, apart from the relay's load and unload:
// an export called before the host's load or after its unload still reaches it. That reference
// goes when the host releases the module file, and stays when the process ends.
#ifndef PILRO_FORWARD_H
#define PILRO_FORWARD_H

#include "../prim/prim.h"

extern "C" {
// The relay's and the stub's load that takes the folder in UTF-8: in neither's own export
// table, and named by pilro-place where the real module has it. As load, with its own entry.
int PILRO_CDECL loadu(void* block, long length);
}

namespace pilro::forward {

// At the loader's attach. module is the loader's handle for the module file, which on Windows
// is where its image starts. real_path is the real module's full path, NUL-terminated, kept
// and read later (the relay's); null for the one that pilro-place recorded, beside the module
// file (the stub's). note_prefix starts the notes that say where an export cannot go
// ("relay() ").
void attached(void* module, const char* real_path, const char* note_prefix) noexcept;

// At the loader's detach: lets the real module go, unless the process is ending (its threads
// may still be inside it then, and the system is releasing everything anyway).
void detached(bool process_ending) noexcept;

}  // namespace pilro::forward

#endif
