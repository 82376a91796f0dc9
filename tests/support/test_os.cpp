#include "test_os.h"

#include <cstring>

#include "prim/prim.h"

namespace pilro::test {

std::string fresh_directory(const std::string& name) {
    return files::fresh_directory(PILRO_TEST_SCRATCH, name);
}

void* host_block(const std::string& bytes) {
    void* block = prim::block_alloc(bytes.size());
    if (block != nullptr && !bytes.empty()) {
        std::memcpy(block, bytes.data(), bytes.size());
    }
    return block;
}

std::string saori_host() {
    return PILRO_SAORI_HOST;
}

std::string pilro_log() {
    return PILRO_PILRO_LOG;
}

std::string stress_child() {
    return PILRO_STRESS_CHILD;
}

}  // namespace pilro::test
