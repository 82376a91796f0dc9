// The clock of the platform contract: an object of its own, for the module files that time
// their answers (the relay and the stub), so that pilro's module file does not carry it.
#if defined(_WIN32)
#include "windows/clock.cpp"
#else
#include "unix/clock.cpp"
#endif
