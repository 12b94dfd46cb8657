#include "common/winapi_wrappers.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>

#include "base/LastError.h"
#include "base/VqTrace.h"
#include "common/string.h"

namespace {

// Every line prints the low 32 bits of a handle or address.
DWORD Low32(const void* value) { return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(value)); }

void Line(DWORD level, const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    VqBase::GetTrace().TraceVW(level, format, arguments);
    va_end(arguments);
}

constexpr DWORD kInfo = VqBase::TL_INFO;
constexpr DWORD kError = VqBase::TL_ERROR;

}  // namespace

namespace Winapi {

DWORD GetLastError() { return ::GetLastError(); }

void SetLastError(DWORD code) { ::SetLastError(code); }

HANDLE OpenEvent(const wchar_t* name, DWORD desiredAccess, bool inherit) {
    constexpr wchar_t kName[] = L"Winapi::OpenEvent";
    const std::wstring shown = string::from_ptr(name);
    const HANDLE event = ::OpenEventW(desiredAccess, inherit ? TRUE : FALSE, name);
    VqBase::LastErrorKeeper keep;
    if (event)
        Line(kInfo, L"[%s] OpenEventW(\"%s\"): ok, %016X", kName, shown.c_str(), Low32(event));
    else
        Line(kError, L"[%s] OpenEventW(\"%s\"): E(%08X)", kName, shown.c_str(), keep.Error());
    return event;
}

bool SetEvent(HANDLE event) {
    constexpr wchar_t kName[] = L"Winapi::SetEvent";
    const BOOL ok = ::SetEvent(event);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] SetEvent(%016X): ok", kName, Low32(event));
    else
        Line(kError, L"[%s] SetEvent(%016X): E(%08X)", kName, Low32(event), keep.Error());
    return ok != FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    constexpr wchar_t kName[] = L"Winapi::WaitForSingleObject";
    const DWORD result = ::WaitForSingleObject(handle, milliseconds);
    VqBase::LastErrorKeeper keep;
    if (result == WAIT_OBJECT_0)
        Line(kInfo, L"[%s] WaitForSingleObject(%016X): Object", kName, Low32(handle));
    else if (result == WAIT_TIMEOUT)
        Line(kInfo, L"[%s] WaitForSingleObject(%016X): Timeout (%u msec)", kName, Low32(handle), milliseconds);
    else if (result == WAIT_FAILED)
        Line(kError, L"[%s] WaitForSingleObject(%016X): Fail, E(%08X)", kName, Low32(handle), keep.Error());
    else
        Line(kError, L"[%s] WaitForSingleObject(%016X): Result=%u, E(%08X)", kName, Low32(handle), result,
             keep.Error());
    return result;
}

DWORD PollObject(HANDLE handle) {
    constexpr wchar_t kName[] = L"Winapi::PollObject";
    const DWORD result = ::WaitForSingleObject(handle, 0);
    VqBase::LastErrorKeeper keep;
    if (result == WAIT_FAILED)
        Line(kError, L"[%s] WaitForSingleObject(%016X, 0): Fail, E(%08X)", kName, Low32(handle), keep.Error());
    else if (result != WAIT_OBJECT_0 && result != WAIT_TIMEOUT)
        Line(kError, L"[%s] WaitForSingleObject(%016X, 0): Result=%u, E(%08X)", kName, Low32(handle), result,
             keep.Error());
    return result;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds) {
    constexpr wchar_t kName[] = L"Winapi::WaitForMultipleObjects";
    const std::wstring list = HandlesToString(count, handles);
    // Windows copies the array before it checks anything, so a missing array
    // with a count would fault; it is refused as the invalid parameter it is.
    DWORD result = WAIT_FAILED;
    if (handles || count == 0)
        result = ::WaitForMultipleObjects(count, handles, waitAll ? TRUE : FALSE, milliseconds);
    else
        ::SetLastError(ERROR_INVALID_PARAMETER);
    VqBase::LastErrorKeeper keep;
    if (result == WAIT_TIMEOUT) {
        Line(kInfo, L"[%s] WaitForMultipleObjects(%s): Timeout (%u msec)", kName, list.c_str(), milliseconds);
    } else if (result == WAIT_FAILED) {
        Line(kError, L"[%s] WaitForMultipleObjects(%s): Fail, E(%08X)", kName, list.c_str(), keep.Error());
    } else if (result - WAIT_OBJECT_0 < count) {
        const std::wstring which = waitAll ? std::wstring(L"All") : string::format(L"Object %u/%u", result + 1, count);
        Line(kInfo, L"[%s] WaitForMultipleObjects(%s): %s", kName, list.c_str(), which.c_str());
    } else {
        Line(kError, L"[%s] WaitForMultipleObjects(%s): Result=%u, E(%08X)", kName, list.c_str(), result,
             keep.Error());
    }
    return result;
}

bool CloseHandle(HANDLE handle) {
    constexpr wchar_t kName[] = L"Winapi::CloseHandle";
    const BOOL ok = ::CloseHandle(handle);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] CloseHandle(%016X): ok", kName, Low32(handle));
    else
        Line(kError, L"[%s] CloseHandle(%016X): E(%08X)", kName, Low32(handle), keep.Error());
    return ok != FALSE;
}

bool CreateProcess(const wchar_t* applicationName, wchar_t* commandLine, SECURITY_ATTRIBUTES* processAttributes,
                   SECURITY_ATTRIBUTES* threadAttributes, bool inheritHandles, DWORD creationFlags, void* environment,
                   const wchar_t* currentDirectory, STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation) {
    constexpr wchar_t kName[] = L"Winapi::CreateProcess";
    // Copied before the call: CreateProcessW may write into the command line.
    // Control characters are escaped so that a command line stays one line.
    // The application, when given, is what runs whatever the command line's
    // first word says, so the line names it too.
    std::wstring shown = string::escape_controls(string::from_ptr(commandLine ? commandLine : applicationName));
    if (applicationName && commandLine)
        shown = L"\"" + string::escape_controls(applicationName) + L"\", " + shown;
    // Some implementations of CreateProcessW read through a null command line
    // when the application name is null too; nothing could be started anyway,
    // so that case is answered as the invalid parameter it is.
    BOOL ok = FALSE;
    if (applicationName || commandLine)
        ok = ::CreateProcessW(applicationName, commandLine, processAttributes, threadAttributes,
                              inheritHandles ? TRUE : FALSE, creationFlags, environment, currentDirectory, startupInfo,
                              processInformation);
    else
        ::SetLastError(ERROR_INVALID_PARAMETER);
    VqBase::LastErrorKeeper keep;
    const DWORD pid = processInformation ? processInformation->dwProcessId : 0;
    if (ok)
        Line(kInfo, L"[%s] CreateProcessW(%s): ok, %016X (PID: %u|%08X)", kName, shown.c_str(),
             Low32(processInformation ? processInformation->hProcess : nullptr), pid, pid);
    else
        Line(kError, L"[%s] CreateProcessW(%s): E(%08X)", kName, shown.c_str(), keep.Error());
    return ok != FALSE;
}

bool GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    constexpr wchar_t kName[] = L"Winapi::GetExitCodeProcess";
    const BOOL ok = ::GetExitCodeProcess(process, exitCode);
    VqBase::LastErrorKeeper keep;
    const DWORD code = exitCode ? *exitCode : 0;
    if (ok)
        Line(kInfo, L"[%s] GetExitCodeProcess(%016X): ok, %u (%08X)", kName, Low32(process), code, code);
    else
        Line(kError, L"[%s] GetExitCodeProcess(%016X): E(%08X)", kName, Low32(process), keep.Error());
    return ok != FALSE;
}

HANDLE OpenFileMapping(const wchar_t* name, DWORD desiredAccess, bool inherit) {
    constexpr wchar_t kName[] = L"Winapi::OpenFileMapping";
    const std::wstring shown = string::from_ptr(name);
    const HANDLE mapping = ::OpenFileMappingW(desiredAccess, inherit ? TRUE : FALSE, name);
    VqBase::LastErrorKeeper keep;
    if (mapping)
        Line(kInfo, L"[%s] OpenFileMappingW(\"%s\"): ok, %016X", kName, shown.c_str(), Low32(mapping));
    else
        Line(kError, L"[%s] OpenFileMappingW(\"%s\"): E(%08X)", kName, shown.c_str(), keep.Error());
    return mapping;
}

void* MapViewOfFile(HANDLE mapping, DWORD desiredAccess, std::uint64_t offset, size_t count) {
    constexpr wchar_t kName[] = L"Winapi::MapViewOfFile";
    void* const view = ::MapViewOfFile(mapping, desiredAccess, static_cast<DWORD>(offset >> 32),
                                       static_cast<DWORD>(offset & 0xFFFFFFFFu), count);
    VqBase::LastErrorKeeper keep;
    const auto shownOffset = static_cast<unsigned long long>(offset);
    const auto shownCount = static_cast<unsigned long>(count & 0xFFFFFFFFu);
    if (view)
        Line(kInfo, L"[%s] MapViewOfFile(%016X, %llu:%lu): ok, 0x%016X", kName, Low32(mapping), shownOffset, shownCount,
             Low32(view));
    else
        Line(kError, L"[%s] MapViewOfFile(%016X, %llu:%lu): E(%08X)", kName, Low32(mapping), shownOffset, shownCount,
             keep.Error());
    return view;
}

bool UnmapViewOfFile(const void* view) {
    constexpr wchar_t kName[] = L"Winapi::UnmapViewOfFile";
    const BOOL ok = ::UnmapViewOfFile(view);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] UnmapViewOfFile(0x%016X): ok", kName, Low32(view));
    else
        Line(kError, L"[%s] UnmapViewOfFile(0x%016X): E(%08X)", kName, Low32(view), keep.Error());
    return ok != FALSE;
}

bool TerminateProcess(HANDLE process, UINT exitCode) {
    constexpr wchar_t kName[] = L"Winapi::TerminateProcess";
    const BOOL ok = ::TerminateProcess(process, exitCode);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] TerminateProcess(%016X, %u): ok", kName, Low32(process), exitCode);
    else
        Line(kError, L"[%s] TerminateProcess(%016X, %u): E(%08X)", kName, Low32(process), exitCode, keep.Error());
    return ok != FALSE;
}

SIZE_T VirtualQuery(const void* address, MEMORY_BASIC_INFORMATION* info) {
    constexpr wchar_t kName[] = L"Winapi::VirtualQuery";
    const SIZE_T size = ::VirtualQuery(address, info, info ? sizeof(*info) : 0);
    VqBase::LastErrorKeeper keep;
    if (size != 0)
        Line(kInfo, L"[%s] VirtualQuery(0x%016X): ok, %llu", kName, Low32(address),
             static_cast<unsigned long long>(info ? info->RegionSize : 0));
    else
        Line(kError, L"[%s] VirtualQuery(0x%016X): E(%08X)", kName, Low32(address), keep.Error());
    return size;
}

HANDLE CreateEvent(bool manualReset, bool initialState) {
    constexpr wchar_t kName[] = L"Winapi::CreateEvent";
    const HANDLE event = ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
    VqBase::LastErrorKeeper keep;
    if (event)
        Line(kInfo, L"[%s] CreateEventW(): ok, %016X", kName, Low32(event));
    else
        Line(kError, L"[%s] CreateEventW(): E(%08X)", kName, keep.Error());
    return event;
}
std::wstring GetSystemDirectory() {
    constexpr wchar_t kName[] = L"Winapi::GetSystemDirectory";
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH + 1);
    VqBase::LastErrorKeeper keep;
    if (length == 0 || length > MAX_PATH) {
        Line(kError, L"[%s] GetSystemDirectoryW(): E(%08X)", kName, keep.Error());
        return {};
    }
    Line(kInfo, L"[%s] GetSystemDirectoryW(): ok, \"%s\"", kName, buffer);
    return std::wstring(buffer, length);
}

HANDLE OpenProcessToken(DWORD access) {
    constexpr wchar_t kName[] = L"Winapi::OpenProcessToken";
    HANDLE token = nullptr;
    const BOOL ok = ::OpenProcessToken(::GetCurrentProcess(), access, &token);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] OpenProcessToken(%08X): ok, %016X", kName, access, Low32(token));
    else
        Line(kError, L"[%s] OpenProcessToken(%08X): E(%08X)", kName, access, keep.Error());
    return ok ? token : nullptr;
}

bool GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, std::vector<BYTE>& info) {
    constexpr wchar_t kName[] = L"Winapi::GetTokenInformation";
    // The size is asked first: the list a token holds differs by platform.
    DWORD needed = 0;
    ::GetTokenInformation(token, infoClass, nullptr, 0, &needed);
    BOOL ok = FALSE;
    if (needed != 0) {
        info.assign(needed, 0);
        ok = ::GetTokenInformation(token, infoClass, info.data(), needed, &needed);
    }
    VqBase::LastErrorKeeper keep;
    if (ok) {
        Line(kInfo, L"[%s] GetTokenInformation(%016X, %d): ok, %lu bytes", kName, Low32(token),
             static_cast<int>(infoClass), needed);
    } else {
        info.clear();
        Line(kError, L"[%s] GetTokenInformation(%016X, %d): E(%08X)", kName, Low32(token), static_cast<int>(infoClass),
             keep.Error());
    }
    return ok != FALSE;
}

std::wstring LookupPrivilegeName(const LUID& luid) {
    constexpr wchar_t kName[] = L"Winapi::LookupPrivilegeName";
    LUID value = luid;
    wchar_t name[128] = {};
    DWORD length = 128;
    const BOOL ok = ::LookupPrivilegeNameW(nullptr, &value, name, &length);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] LookupPrivilegeNameW(%ld:%lu): ok, %s", kName, luid.HighPart, luid.LowPart, name);
    else
        Line(kError, L"[%s] LookupPrivilegeNameW(%ld:%lu): E(%08X)", kName, luid.HighPart, luid.LowPart, keep.Error());
    return ok ? std::wstring(name, length) : std::wstring();
}

bool AdjustTokenPrivileges(HANDLE token, const TOKEN_PRIVILEGES* privileges) {
    constexpr wchar_t kName[] = L"Winapi::AdjustTokenPrivileges";
    const DWORD count = privileges ? privileges->PrivilegeCount : 0;
    BOOL ok = FALSE;
    if (privileges)
        ok = ::AdjustTokenPrivileges(token, FALSE, const_cast<TOKEN_PRIVILEGES*>(privileges), 0, nullptr, nullptr);
    else
        ::SetLastError(ERROR_INVALID_PARAMETER);
    VqBase::LastErrorKeeper keep;
    if (ok && keep.Error() == ERROR_SUCCESS)
        Line(kInfo, L"[%s] AdjustTokenPrivileges(%016X, %lu): ok", kName, Low32(token), count);
    else
        Line(kError, L"[%s] AdjustTokenPrivileges(%016X, %lu): E(%08X)", kName, Low32(token), count, keep.Error());
    return ok != FALSE;
}

HANDLE CreateJobObject() {
    constexpr wchar_t kName[] = L"Winapi::CreateJobObject";
    const HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    VqBase::LastErrorKeeper keep;
    if (job)
        Line(kInfo, L"[%s] CreateJobObjectW(): ok, %016X", kName, Low32(job));
    else
        Line(kError, L"[%s] CreateJobObjectW(): E(%08X)", kName, keep.Error());
    return job;
}

bool SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info, DWORD size) {
    constexpr wchar_t kName[] = L"Winapi::SetInformationJobObject";
    const BOOL ok = ::SetInformationJobObject(job, infoClass, info, size);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] SetInformationJobObject(%016X, %d): ok", kName, Low32(job), static_cast<int>(infoClass));
    else
        Line(kError, L"[%s] SetInformationJobObject(%016X, %d): E(%08X)", kName, Low32(job),
             static_cast<int>(infoClass), keep.Error());
    return ok != FALSE;
}

bool AssignProcessToJobObject(HANDLE job, HANDLE process) {
    constexpr wchar_t kName[] = L"Winapi::AssignProcessToJobObject";
    const BOOL ok = ::AssignProcessToJobObject(job, process);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] AssignProcessToJobObject(%016X, %016X): ok", kName, Low32(job), Low32(process));
    else
        Line(kError, L"[%s] AssignProcessToJobObject(%016X, %016X): E(%08X)", kName, Low32(job), Low32(process),
             keep.Error());
    return ok != FALSE;
}

DWORD ResumeThread(HANDLE thread) {
    constexpr wchar_t kName[] = L"Winapi::ResumeThread";
    const DWORD previous = ::ResumeThread(thread);
    VqBase::LastErrorKeeper keep;
    if (previous != static_cast<DWORD>(-1))
        Line(kInfo, L"[%s] ResumeThread(%016X): ok, %lu", kName, Low32(thread), previous);
    else
        Line(kError, L"[%s] ResumeThread(%016X): E(%08X)", kName, Low32(thread), keep.Error());
    return previous;
}

bool SetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, const void* buffer, size_t size) {
    constexpr wchar_t kName[] = L"Winapi::SetProcessMitigationPolicy";
    DWORD flags = 0;
    if (buffer && size >= sizeof(flags))
        std::memcpy(&flags, buffer, sizeof(flags));
    const BOOL ok = ::SetProcessMitigationPolicy(policy, const_cast<void*>(buffer), size);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] SetProcessMitigationPolicy(%d, %08X): ok", kName, static_cast<int>(policy), flags);
    else
        Line(kError, L"[%s] SetProcessMitigationPolicy(%d, %08X): E(%08X)", kName, static_cast<int>(policy), flags,
             keep.Error());
    return ok != FALSE;
}

bool SetDefaultDllDirectories(DWORD flags) {
    constexpr wchar_t kName[] = L"Winapi::SetDefaultDllDirectories";
    const BOOL ok = ::SetDefaultDllDirectories(flags);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] SetDefaultDllDirectories(%08X): ok", kName, flags);
    else
        Line(kError, L"[%s] SetDefaultDllDirectories(%08X): E(%08X)", kName, flags, keep.Error());
    return ok != FALSE;
}

DWORD GetSecurityInfo(HANDLE object, SecurityInfo* info) {
    constexpr wchar_t kName[] = L"Winapi::GetSecurityInfo";
    const DWORD result = VqBase::ReadSecurity(object, SE_KERNEL_OBJECT,
                                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, *info);
    VqBase::LastErrorKeeper keep;
    if (result == ERROR_SUCCESS)
        Line(kInfo, L"[%s] GetSecurityInfo(%016X): ok", kName, Low32(object));
    else
        Line(kError, L"[%s] GetSecurityInfo(%016X): E(%08X)", kName, Low32(object), result);
    return result;
}

std::wstring HandlesToString(DWORD count, const HANDLE* handles) {
    std::wstring text = string::to_wstring(count) + L": {";
    for (DWORD i = 0; handles && i < count; ++i) {
        wchar_t digits[17] = {};
        _snwprintf(digits, 16, L"%016X", Low32(handles[i]));
        if (i) text += L", ";
        text += digits;
    }
    text += L"}";
    return text;
}

namespace Service {

std::wstring StateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED: return L"STOPPED";
    case SERVICE_START_PENDING: return L"START_PENDING";
    case SERVICE_STOP_PENDING: return L"STOP_PENDING";
    case SERVICE_RUNNING: return L"RUNNING";
    case SERVICE_CONTINUE_PENDING: return L"CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return L"PAUSE_PENDING";
    case SERVICE_PAUSED: return L"PAUSED";
    default: return string::to_wstring(state);
    }
}

bool SetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
    constexpr wchar_t kName[] = L"Winapi::Service::SetStatus";
    const std::wstring state = status ? StateName(status->dwCurrentState) : std::wstring();
    const BOOL ok = ::SetServiceStatus(handle, status);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] SetServiceStatus(%016X, %s): ok", kName, Low32(handle), state.c_str());
    else
        Line(kError, L"[%s] SetServiceStatus(%016X, %s): E(%08X)", kName, Low32(handle), state.c_str(), keep.Error());
    return ok != FALSE;
}

bool StartCtrlDispatcher(const SERVICE_TABLE_ENTRYW* table) {
    constexpr wchar_t kName[] = L"Winapi::Service::StartCtrlDispatcher";
    const BOOL ok = ::StartServiceCtrlDispatcherW(table);
    VqBase::LastErrorKeeper keep;
    if (ok)
        Line(kInfo, L"[%s] StartServiceCtrlDispatcherW(): ok", kName);
    else
        Line(kError, L"[%s] StartServiceCtrlDispatcherW(): E(%08X)", kName, keep.Error());
    return ok != FALSE;
}

SERVICE_STATUS_HANDLE RegisterCtrlHandler(const wchar_t* serviceName, LPHANDLER_FUNCTION handler) {
    constexpr wchar_t kName[] = L"Winapi::Service::RegisterCtrlHandler";
    const std::wstring shown = string::from_ptr(serviceName);
    const SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerW(serviceName, handler);
    VqBase::LastErrorKeeper keep;
    if (handle)
        Line(kInfo, L"[%s] RegisterServiceCtrlHandlerW(\"%s\"): ok, %016X", kName, shown.c_str(), Low32(handle));
    else
        Line(kError, L"[%s] RegisterServiceCtrlHandlerW(\"%s\"): E(%08X)", kName, shown.c_str(), keep.Error());
    return handle;
}

}  // namespace Service
}  // namespace Winapi
