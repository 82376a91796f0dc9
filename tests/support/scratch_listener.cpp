// Part of every GoogleTest program: a case that passes takes its scratch directories with it;
// one that fails leaves them, and says where, for a look at what it wrote. A case that passes
// but leaves files that cannot be removed (a module it kept loaded, a file it kept open) fails
// the program when it ends.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "test_os.h"

namespace {

std::vector<std::string> left_behind;

class scratch_listener : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& test) override {
        const bool failed = test.result()->Failed();
        const std::string name = std::string(test.test_suite_name()) + "." + test.name();
        for (const std::string& path : pilro::test::finish_scratch(failed)) {
            if (failed) {
                std::cout << "scratch kept for " << name << ": " << path << std::endl;
            } else {
                left_behind.push_back(name + " left " + path);
            }
        }
    }
};

// Failures outside any case, here after the last one, fail the program.
class left_behind_check : public ::testing::Environment {
    void TearDown() override {
        for (const std::string& what : left_behind) {
            ADD_FAILURE() << what << ", which could not be removed";
        }
    }
};

const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new scratch_listener);
    ::testing::AddGlobalTestEnvironment(new left_behind_check);
    return true;
}();

}  // namespace
