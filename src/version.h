// The module's version, in the one place it is kept. The resource script, the POSIX
// metadata section and the tests read it from here.
#ifndef PILRO_VERSION_H
#define PILRO_VERSION_H

#define PILRO_VERSION_MAJOR 1
#define PILRO_VERSION_MINOR 0
#define PILRO_VERSION_PATCH 0
#define PILRO_VERSION_BUILD 0

// The resource compiler cannot stringize, so the text forms are spelled out; a test checks
// that they agree with the numbers above.
#define PILRO_VERSION_TEXT "1, 0, 0, 0"

#endif
