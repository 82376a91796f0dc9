// A shared library that is no SAORI/1.0 module: of the three functions a host looks for it
// exports only load, so a host must name the other two as missing.
#include "prim/prim.h"

extern "C" {

// A host that finds request or unload missing stops before calling load, so the block a
// call would bring is not freed here.
PILRO_EXPORT int PILRO_CDECL load(void*, long) {
    return 1;
}
}
