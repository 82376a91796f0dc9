// Module files of a platform that pilro-place does not place (POSIX): no exports but their own.
#include "forward.h"

namespace pilro::forward {

void attached(void*, const char*, const char*) noexcept {}

void detached(bool) noexcept {}

}  // namespace pilro::forward
