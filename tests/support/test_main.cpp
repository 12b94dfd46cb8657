// Wide entry point for every test executable.
#include <gtest/gtest.h>

#include <cstdio>

#include "child_process.h"

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Retried process starts are Wine's doing, not the tests': counted here
    // so that a run shows how often it happened.
    std::printf("process starts retried after Wine's spurious ERROR_INTERNAL_ERROR: %u\n",
                testing_support::StartRetries());
    return result;
}
