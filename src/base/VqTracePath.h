#pragma once
// Log directories: their creation and their security.
#include <windows.h>

namespace VqBase {

// One entry of a discretionary ACL: whom, what it may do, and entry flags of
// its own (added to those given for all entries).
struct AccessEntry {
    PSID m_Sid;
    DWORD m_Mask;
    DWORD m_Flags = 0;
};

// Builds a self-relative descriptor with one access-allowed entry per item,
// each with the given entry flags. Returns 0 and the descriptor (a process
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

// Creates the missing directories of a file path (never the file itself),
// as the log file sink does: one at a time below the root, each relative to
// the checked handle of its parent (see CLogDirectory). True when they all
// exist and may be trusted afterwards; false for a path without a drive or
// network root, a path of kTracePathChars characters or more, a directory
// that cannot be created, or one that is not trusted.
bool CreatePath(const wchar_t* path);

}  // namespace VqBase
