#pragma once
// Who may change a log directory or a log file: the descriptors the trace
// creates them with, and the judgement of the owner and DACL read from a
// handle. A privileged writer trusts a directory only when nobody else can
// delete, rename or re-permission what is in it.
#include <windows.h>

#include <string>

namespace VqBase {

// One entry of a discretionary ACL: whom, what it may do, and entry flags of
// its own (added to those given for all entries).
struct AccessEntry {
    PSID m_Sid;
    DWORD m_Mask;
    DWORD m_Flags = 0;
};

// Builds a self-relative descriptor with a protected DACL (nothing is
// inherited from the parent) of one access-allowed entry per item, each
// with the given entry flags. Returns 0 and the descriptor (a process
// heap block the caller frees with HeapFree) or a Win32 error code.
DWORD BuildSecurityDescriptor(DWORD count, const AccessEntry* entries, DWORD entryFlags, PSID owner, PSID group,
                              PSECURITY_DESCRIPTOR* descriptor);

// What everyone may do in a log directory: traverse, list, read, add files
// and sub-directories, and nothing to the entries that others made.
inline constexpr DWORD kLogDirectoryEveryoneRights = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | FILE_ADD_FILE |
                                                     FILE_ADD_SUBDIRECTORY;
// What everyone may do to a common log file: add lines, nothing else.
inline constexpr DWORD kCommonFileEveryoneRights = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// The descriptor for log directories, group administrators and no owner:
// local system and administrators full access, inherited; CREATOR OWNER full
// access, inherit-only, so that each file and sub-directory is its
// creator's; everyone and all application packages
// kLogDirectoryEveryoneRights on the directory alone. A process heap block
// the caller frees with HeapFree; null on failure.
PSECURITY_DESCRIPTOR BuildDirectorySecurity();

// The descriptor a common log file is created with: local system and
// administrators full access, everyone kCommonFileEveryoneRights. As above.
PSECURITY_DESCRIPTOR BuildCommonFileSecurity();

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
