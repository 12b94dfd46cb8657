#include "service_env.h"

#include <windows.h>

#include <cwchar>
#include <memory>
#include <type_traits>

#include "base/VqOwners.h"
#include "errortext.h"

namespace diagctl {
namespace {

// What the trace's default directory is computed from, in its order.
constexpr const wchar_t* kVariables[] = {L"Temp", L"Tmp", L"windir"};

using CreateBlock = BOOL(WINAPI*)(LPVOID* block, HANDLE token, BOOL inherit);
using DestroyBlock = BOOL(WINAPI*)(LPVOID block);

struct ModuleFreer {
    void operator()(HMODULE module) const {
        if (module)
            FreeLibrary(module);
    }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

// userenv.dll by its full path in the system directory, so that no search
// path decides what diagctl runs, and only for the trace verbs that need it.
UniqueModule LoadUserEnv() {
    wchar_t directory[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(directory, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return UniqueModule();
    return UniqueModule(LoadLibraryW((std::wstring(directory, length) + L"\\userenv.dll").c_str()));
}

template <typename Function>
Function Procedure(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

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
    // without a token; under Wine the service manager builds it from its own
    // token, the one user every process of the prefix runs as (measured:
    // Temp is C:\users\<user>\Temp there, as in diagctl's own block).
    HANDLE token = nullptr;
    if (RunsUnderWine() &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &token))
        return FailureMessage(L"OpenProcessToken", GetLastError());
    const VqBase::UniqueHandle owner(token);
    const UniqueModule userEnv = LoadUserEnv();
    if (!userEnv)
        return FailureMessage(L"LoadLibrary of userenv.dll", GetLastError());
    const auto create = Procedure<CreateBlock>(userEnv.get(), "CreateEnvironmentBlock");
    const auto destroy = Procedure<DestroyBlock>(userEnv.get(), "DestroyEnvironmentBlock");
    void* block = nullptr;
    if (!create || !destroy)
        return FailureMessage(L"GetProcAddress of CreateEnvironmentBlock", GetLastError());
    if (!create(&block, token, FALSE))
        return FailureMessage(L"CreateEnvironmentBlock", GetLastError());
    for (const wchar_t* name : kVariables)
        SetEnvironmentVariableW(name, Find(static_cast<const wchar_t*>(block), name));
    destroy(block);
    return {};
}

std::wstring ServiceTempDirectoryOrigin() {
    return RunsUnderWine() ? L"the service's temporary directory: Temp of the environment Wine's service manager "
                             L"gives it, its user's"
                           : L"the service's temporary directory: Temp of the environment the service manager "
                             L"gives LocalSystem, the system's";
}

bool RunsUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace diagctl
