// The relay's part of the platform contract: an object of its own, so that pilro's module
// file, which neither loads modules nor takes time, does not carry it (on Windows the linker
// keeps every function that has unwind information).
#if defined(_WIN32)
#include "windows/loader.cpp"
#else
#include "unix/loader.cpp"
#endif
