// Part of every GoogleTest program: a case that passes takes its scratch directories with it;
// one that fails leaves them, and says where, for a look at what it wrote.
#include <gtest/gtest.h>

#include <iostream>

#include "test_os.h"

namespace {

class scratch_listener : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& test) override {
        const bool failed = test.result()->Failed();
        for (const std::string& path : pilro::test::finish_scratch(failed)) {
            std::cout << "scratch kept for " << test.test_suite_name() << "." << test.name() << ": "
                      << path << std::endl;
        }
    }
};

const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new scratch_listener);
    return true;
}();

}  // namespace
