// The relay's part of the platform contract: an object of its own, so that the module files
// that load no module do not carry it (on Windows the linker keeps every function that has
// unwind information).
#if defined(_WIN32)
#include "windows/loader.cpp"
#else
#include "unix/loader.cpp"
#endif
