#pragma once
// Whether the service's executable lies where only the trusted may change it:
// the service runs as LocalSystem whatever file its registration names, so
// whoever may replace that file, or plant a DLL beside it, runs as
// LocalSystem at the next start.
#include <windows.h>

#include <string>

namespace diagctl {

// The rights on a file or directory that let their holder change it or add
// to it: replace or rewrite the file, add a file (a DLL the loader finds
// first) or sub-directory, delete, rename or re-permission an entry. On a
// directory FILE_WRITE_DATA is FILE_ADD_FILE and FILE_APPEND_DATA is
// FILE_ADD_SUBDIRECTORY.
inline constexpr DWORD kExecutableChangeRights = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL |
                                                 GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA;

// Empty when an object with this owner and DACL may hold the service: owned
// by LocalSystem, the Administrators, TrustedInstaller or self (the operator
// who installs, an administrator), and no other SID granted any of
// kExecutableChangeRights. Else the reason, naming the SID.
std::wstring JudgeExecutableSecurity(const void* owner, const void* dacl, const void* self);

// Empty when the file exe and every directory of its path below the volume
// root pass JudgeExecutableSecurity (self: this process's user) and the path
// leads to that very file, through no link. Else why, naming the file or
// directory at fault. (The root is not judged: Windows lets every user add
// a directory to C:\, which changes no directory of the path.)
std::wstring JudgeServiceExecutable(const std::wstring& exe);

}  // namespace diagctl
