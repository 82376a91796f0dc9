// The stub's part of the platform contract: an object of its own, so that the other module
// files do not carry it (on Windows the linker keeps every function that has unwind
// information).
#if defined(_WIN32)
#include "windows/reader.cpp"
#else
#include "unix/reader.cpp"
#endif
