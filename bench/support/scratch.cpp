#include "platform.h"

namespace pilro::bench {

std::string fresh_directory(const std::string& name) {
    // The benchmarks load module files from here, so the path is the loader's own spelling.
    return files::fresh_directory(files::native_path(PILRO_BENCH_SCRATCH), name);
}

}  // namespace pilro::bench
