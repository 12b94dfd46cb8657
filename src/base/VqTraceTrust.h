#pragma once
// Whom a log directory and a log file may belong to, judged on the owner and
// the DACL read from the handle: a privileged writer trusts a directory only
// when nobody else can delete, rename or re-permission what is in it.
#include <windows.h>

#include <string>

namespace VqBase {

// The rights on a directory that let their holder delete, rename or
// re-permission its entries or the directory itself. Adding files and
// sub-directories is not among them: each new entry stays its creator's.
inline constexpr DWORD kDirectoryChangeRights =
    DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | GENERIC_WRITE;

// Empty when the directory may be trusted: its owner is LocalSystem, the
// Administrators, TrustedInstaller or self (the process's own user), and no
// other SID is granted any of kDirectoryChangeRights. Else the reason, naming
// the SID. owner and self are SIDs; dacl may be null (then anyone may).
std::wstring JudgeLogDirectory(const void* owner, const ACL* dacl, const void* self);

// Empty when a private log file may be written: its owner is LocalSystem,
// the Administrators or self. Else the reason.
std::wstring JudgeLogFileOwner(const void* owner, const void* self);

}  // namespace VqBase
