#include "paths.h"

#include "base/VqModulePath.h"

namespace diagctl {

bool AbsolutePath(const std::wstring& path, std::wstring& absolute) {
    if (path.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0)
            return false;
        if (length < buffer.size()) {
            buffer.resize(length);
            absolute = std::move(buffer);
            return true;
        }
        // Too small: length is the size needed, the terminator included.
        buffer.resize(length);
    }
}

std::wstring ModulePath() { return VqBase::ModulePath(); }

std::wstring ModuleDirectory() {
    const std::wstring path = ModulePath();
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring FileNameOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace diagctl
