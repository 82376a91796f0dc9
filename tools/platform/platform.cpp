// The one place where the tools' platform is chosen.
#if defined(_WIN32)
#include "windows/platform.cpp"
#else
#include "unix/platform.cpp"
#endif
