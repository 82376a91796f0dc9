#include "test_os.h"

namespace pilro::test {

std::string fresh_directory(const std::string& name) {
    return files::fresh_directory(PILRO_TEST_SCRATCH, name);
}

std::string saori_host() {
    return PILRO_SAORI_HOST;
}

}  // namespace pilro::test
