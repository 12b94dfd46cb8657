// The Unix side of a Wine prefix, for what no Windows call can do here.
#include "unix_side.h"

#include <windows.h>

namespace testing_support {

namespace {

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring UniqueName(const wchar_t* prefix) {
    static LONG counter = 0;
    return std::wstring(prefix) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(::InterlockedIncrement(&counter));
}

}  // namespace

bool UnderWine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::string UnixPath(const std::wstring& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
    if (!unix) return {};
    std::string result = unix;
    ::HeapFree(::GetProcessHeap(), 0, unix);
    return result;
}

bool RunUnixShell(const std::string& command) {
    if (!UnderWine() || command.find('"') != std::string::npos) return false;
    // Wine hands a Unix program over and does not wait for it: its exit code
    // and its end do not come back, so the command leaves a mark when done.
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring mark = std::wstring(temp) + UniqueName(L"unix-done");
    const std::string line = "sh -c \"" + command + "; touch '" + UnixPath(mark) + "'\"";
    std::wstring wide(line.begin(), line.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(L"Z:\\bin\\sh", wide.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &process))
        return false;
    // For a Unix program Wine returns no process handle and leaves a stray
    // value in hThread: closing it would close a handle someone else owns.
    if (process.hProcess) {
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    for (int waited = 0; waited < 30000; waited += 10) {
        if (Exists(mark)) return ::DeleteFileW(mark.c_str()) != FALSE;
        ::Sleep(10);
    }
    return false;
}

}  // namespace testing_support
