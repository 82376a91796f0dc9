// The one place where the platform is chosen.
#if defined(_WIN32)
#include "windows/prim.cpp"
#else
#include "unix/prim.cpp"
#endif
