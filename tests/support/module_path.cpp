#include "module_path.h"

#include "base/VqModulePath.h"

namespace testing_support {

std::wstring ModulePath() { return VqBase::ModulePath(); }

std::wstring ModuleDirectory() {
    const std::wstring path = ModulePath();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

}  // namespace testing_support
