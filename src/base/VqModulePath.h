#pragma once
// Where a loaded module lies: the error lookup finds the product's message
// module beside its own code, never through the search path.
#include <windows.h>

#include <functional>
#include <string>

namespace VqBase {

// A path that fill writes into a buffer of size wide characters and whose
// length it returns (size or more when it did not fit, 0 on failure), read
// with ever larger buffers up to the longest path; empty on failure.
std::wstring ReadGrowingPath(const std::function<DWORD(wchar_t* buffer, DWORD size)>& fill);

// The full path of module (null: the running executable); empty when it
// cannot be read in full.
std::wstring ModulePath(HMODULE module = nullptr);

}  // namespace VqBase
