// Where a loaded module lies.
#include "base/VqModulePath.h"

namespace VqBase {

std::wstring ModulePath(HMODULE module) {
    // A path that fills the buffer may have been cut: try a larger one, up to
    // the longest path the platform has.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::wstring path(size, L'\0');
        const DWORD length = ::GetModuleFileNameW(module, path.data(), size);
        if (length == 0) return {};
        if (length < size) {
            path.resize(length);
            return path;
        }
    }
    return {};
}

}  // namespace VqBase
