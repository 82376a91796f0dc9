// The relay's and the stub's part of the platform contract for the texts of their notes: an
// object of its own, so that pilro.dll does not carry it.
#if defined(_WIN32)
#include "windows/text.cpp"
#else
#include "unix/text.cpp"
#endif
