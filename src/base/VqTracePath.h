#pragma once
// Log directories: their creation and their security.
#include <windows.h>

namespace VqBase {

// One entry of a discretionary ACL: whom, and what it may do.
struct AccessEntry {
    PSID m_Sid;
    DWORD m_Mask;
};

// Builds a self-relative descriptor with one access-allowed entry per item,
// each with the given entry flags. Returns 0 and the descriptor (a process
// heap block the caller frees with HeapFree) or a Win32 error code.
DWORD BuildSecurityDescriptor(DWORD count, const AccessEntry* entries, DWORD entryFlags, PSID owner, PSID group,
                              PSECURITY_DESCRIPTOR* descriptor);

// The descriptor for log directories: full access, inherited by files and
// subdirectories, for local system, everyone, administrators and all
// application packages; group administrators, no owner. Null on failure.
PSECURITY_DESCRIPTOR BuildDirectorySecurity();

// Creates the missing directories of a file path (never the file itself).
// True when they all exist afterwards; false for a path without a root
// backslash, a path of kTracePathChars characters or more, or a directory
// that cannot be created.
bool CreatePath(const wchar_t* path);

}  // namespace VqBase
