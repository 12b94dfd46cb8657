#pragma once
// Under Wine: the Unix path of a Windows path, and a Unix shell command, for
// what no Windows call can do here (a symbolic link standing in for a
// junction, a chmod). Empty and false elsewhere.
#include <string>

namespace testing_support {

bool UnderWine();
std::string UnixPath(const std::wstring& path);
bool RunUnixShell(const std::string& command);

}  // namespace testing_support
