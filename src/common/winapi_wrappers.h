#pragma once
// Logged wrappers of every Win32 call of the service: one call, one trace
// line, the platform's result unchanged, the last-error value untouched.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/VqAccessList.h"

namespace Winapi {

DWORD GetLastError();
void SetLastError(DWORD code);

HANDLE OpenEvent(const wchar_t* name, DWORD desiredAccess, bool inherit);
bool SetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// WaitForSingleObject with no time-out, for a caller that only asks whether a
// signal is pending: taking one or finding none writes no line (what a taken
// signal means is the caller's to say); only a failure writes one.
DWORD PollObject(HANDLE handle);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds);
bool CloseHandle(HANDLE handle);
bool CreateProcess(const wchar_t* applicationName, wchar_t* commandLine, SECURITY_ATTRIBUTES* processAttributes,
                   SECURITY_ATTRIBUTES* threadAttributes, bool inheritHandles, DWORD creationFlags, void* environment,
                   const wchar_t* currentDirectory, STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation);
bool GetExitCodeProcess(HANDLE process, DWORD* exitCode);
HANDLE OpenFileMapping(const wchar_t* name, DWORD desiredAccess, bool inherit);
void* MapViewOfFile(HANDLE mapping, DWORD desiredAccess, std::uint64_t offset, size_t count);
bool UnmapViewOfFile(const void* view);
bool TerminateProcess(HANDLE process, UINT exitCode);
// The region size, 0 on failure.
SIZE_T VirtualQuery(const void* address, MEMORY_BASIC_INFORMATION* info);
// An unnamed, non-inheritable event.
HANDLE CreateEvent(bool manualReset, bool initialState);
// The system directory ("C:\\Windows\\System32"); empty on failure.
std::wstring GetSystemDirectory();

// The process's own token (GetCurrentProcess()), opened for access; null on
// failure.
HANDLE OpenProcessToken(DWORD access);
// GetTokenInformation of one class into info, sized by a first query that
// the line does not show; false with the last error.
bool GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, std::vector<BYTE>& info);
// The name of a privilege ("SeDebugPrivilege"); empty on failure.
std::wstring LookupPrivilegeName(const LUID& luid);
// AdjustTokenPrivileges with the given states, nothing returned of the old
// ones. Windows reports TRUE with ERROR_NOT_ALL_ASSIGNED when it changed only
// some: the line shows that error, and the caller reads it from the last
// error, which is 0 after a complete change.
bool AdjustTokenPrivileges(HANDLE token, const TOKEN_PRIVILEGES* privileges);

// An unnamed job object; null on failure.
HANDLE CreateJobObject();
bool SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS infoClass, void* info, DWORD size);
bool AssignProcessToJobObject(HANDLE job, HANDLE process);
// The thread's previous suspend count, (DWORD)-1 on failure.
DWORD ResumeThread(HANDLE thread);

// SetProcessMitigationPolicy for the process; the line shows the policy's
// number and its first 32 bits of flags.
bool SetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, const void* buffer, size_t size);
bool SetDefaultDllDirectories(DWORD flags);

// The owner and DACL of a kernel object, read through its handle (which needs
// READ_CONTROL).
using SecurityInfo = VqBase::ObjectSecurity;
// 0 and the object's security, or the Win32 error.
DWORD GetSecurityInfo(HANDLE object, SecurityInfo* info);

// "N: {h1, h2}" with each handle's low 32 bits as 16 hexadecimal digits.
std::wstring HandlesToString(DWORD count, const HANDLE* handles);

namespace Service {

// "RUNNING" and the like; the decimal value when it is not a known state.
std::wstring StateName(DWORD state);

bool SetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);
bool StartCtrlDispatcher(const SERVICE_TABLE_ENTRYW* table);
SERVICE_STATUS_HANDLE RegisterCtrlHandler(const wchar_t* serviceName, LPHANDLER_FUNCTION handler);

}  // namespace Service
}  // namespace Winapi
