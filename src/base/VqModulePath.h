#pragma once
// Where a loaded module lies: the error lookup finds the product's message
// module beside its own code, never through the search path.
#include <windows.h>

#include <string>

namespace VqBase {

// The full path of module (null: the running executable); empty when it
// cannot be read in full.
std::wstring ModulePath(HMODULE module = nullptr);

}  // namespace VqBase
