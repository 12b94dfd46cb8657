// Where a loaded module lies.
#include "base/VqModulePath.h"

#include <algorithm>

#include "base/VqTraceConstants.h"

namespace VqBase {

std::wstring ReadGrowingPath(const std::function<DWORD(wchar_t* buffer, DWORD size)>& fill) {
    // A path that fills the buffer may have been cut: try a larger one, the
    // last time of the longest path the platform has.
    for (DWORD size = MAX_PATH;; size = std::min<DWORD>(size * 2, kLongestPathChars)) {
        std::wstring path(size, L'\0');
        const DWORD length = fill(path.data(), size);
        if (length == 0) return {};
        if (length < size) {
            path.resize(length);
            return path;
        }
        if (size == kLongestPathChars) return {};
    }
}

std::wstring ModulePath(HMODULE module) {
    return ReadGrowingPath([module](wchar_t* buffer, DWORD size) { return ::GetModuleFileNameW(module, buffer, size); });
}

}  // namespace VqBase
