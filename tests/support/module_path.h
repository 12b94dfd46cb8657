#pragma once
// Where the running test executable lies, for tests that start it again in a
// child mode or find the programs built beside it.
#include <string>

namespace testing_support {

// The full path of this executable, however long.
std::wstring ModulePath();

// Its directory, with the trailing backslash.
std::wstring ModuleDirectory();

}  // namespace testing_support
