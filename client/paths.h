#pragma once
// Paths as diagctl hands them on: the service resolves a relative path
// against its own current directory (the system's), never the operator's.
#include <windows.h>

#include <string>

namespace diagctl {

// path made absolute against this process's current directory and drive.
// False, with the reason in the last error, when the system cannot.
bool AbsolutePath(const std::wstring& path, std::wstring& absolute);

// The running executable's full path; empty when it cannot be read.
std::wstring ModulePath();
// Its directory, with a trailing backslash; empty when it cannot be read.
std::wstring ModuleDirectory();
// What follows the last backslash or slash.
std::wstring FileNameOf(const std::wstring& path);

}  // namespace diagctl
