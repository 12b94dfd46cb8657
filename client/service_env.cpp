#include "service_env.h"

#include <windows.h>
#include <userenv.h>

#include <cwchar>
#include <memory>

#include "base/VqOwners.h"
#include "errortext.h"

namespace diagctl {
namespace {

// What the trace's default directory is computed from, in its order.
constexpr const wchar_t* kVariables[] = {L"Temp", L"Tmp", L"windir"};

// Wine's service manager builds a service's environment from its own token,
// the one user every process of the prefix runs as (measured: Temp is
// C:\users\<user>\Temp there, as in diagctl's own block).
bool RunsUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct BlockFreer {
    void operator()(void* block) const {
        if (block)
            DestroyEnvironmentBlock(block);
    }
};

// The value of name in block, or null.
const wchar_t* Find(const wchar_t* block, const wchar_t* name) {
    const size_t length = std::wcslen(name);
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1)
        if (_wcsnicmp(entry, name, length) == 0 && entry[length] == L'=')
            return entry + length + 1;
    return nullptr;
}

}  // namespace

std::wstring AdoptServiceTempDirectory() {
    // Windows' service manager gives a LocalSystem service the system's
    // variables (Temp is %SystemRoot%\TEMP), which is the block built
    // without a token; under Wine the service runs as diagctl's own user.
    HANDLE token = nullptr;
    if (RunsUnderWine() &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &token))
        return FailureMessage(L"OpenProcessToken", GetLastError());
    const VqBase::UniqueHandle owner(token);
    void* made = nullptr;
    if (!CreateEnvironmentBlock(&made, token, FALSE))
        return FailureMessage(L"CreateEnvironmentBlock", GetLastError());
    const std::unique_ptr<void, BlockFreer> block(made);
    for (const wchar_t* name : kVariables)
        SetEnvironmentVariableW(name, Find(static_cast<const wchar_t*>(block.get()), name));
    return {};
}

std::wstring ServiceTempDirectoryOrigin() {
    return RunsUnderWine() ? L"the service's temporary directory: Temp of the environment Wine's service manager "
                             L"gives it, its user's"
                           : L"the service's temporary directory: Temp of the environment the service manager "
                             L"gives LocalSystem, the system's";
}

}  // namespace diagctl
