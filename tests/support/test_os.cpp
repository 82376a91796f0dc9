#include "test_os.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "prim/prim.h"

namespace pilro::test {
namespace {

std::string program_scratch() {
    const char* name = std::getenv("PILRO_SCRATCH_NAME");
    if (name != nullptr && name[0] != '\0') {
        return std::string(PILRO_TEST_SCRATCH) + separator + name;
    }
    char path[4096];
    const std::string program(path, prim::module_file_path(nullptr, path, sizeof path));
    std::string stem = program.substr(program.find_last_of("/\\") + 1);
    stem = stem.substr(0, stem.find('.'));
    return std::string(PILRO_TEST_SCRATCH) + separator + (stem.empty() ? "tests" : stem);
}

std::mutex made_lock;
std::vector<std::string> made;

}  // namespace

std::string fresh_directory(const std::string& name) {
    static const std::string root = program_scratch();
    const std::string path = files::fresh_directory(root, name);
    const std::lock_guard<std::mutex> hold(made_lock);
    made.push_back(path);
    return path;
}

std::vector<std::string> finish_scratch(bool keep) {
    std::vector<std::string> paths;
    {
        const std::lock_guard<std::mutex> hold(made_lock);
        paths.swap(made);
    }
    if (keep) {
        return paths;
    }
    std::vector<std::string> left;
    for (const std::string& path : paths) {
        remove_tree(path);
        if (files::file_exists(path)) {
            left.push_back(path);
        }
    }
    // Other programs' areas, and cases of this one that run at the same time, keep theirs.
    files::remove_empty_directory(program_scratch());
    files::remove_empty_directory(PILRO_TEST_SCRATCH);
    return left;
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

std::string pilro_place() {
    return PILRO_PILRO_PLACE;
}

std::string stress_child() {
    return PILRO_STRESS_CHILD;
}

}  // namespace pilro::test
