#pragma once
// The directory chain of a log file: the path taken apart, the walk one
// component at a time from the volume root through handles, so that no
// directory of the path can be swapped for a redirect between its check and
// its use, and the creation of missing directories relative to their parent.
#include <windows.h>
#include <winternl.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/VqOwners.h"
#include "base/VqTraceConstants.h"

#ifndef FILE_OPEN
#define FILE_OPEN 0x00000001
#endif
#ifndef FILE_CREATE
#define FILE_CREATE 0x00000002
#endif
#ifndef FILE_OPEN_IF
#define FILE_OPEN_IF 0x00000003
#endif
#ifndef FILE_DIRECTORY_FILE
#define FILE_DIRECTORY_FILE 0x00000001
#endif
#ifndef FILE_NON_DIRECTORY_FILE
#define FILE_NON_DIRECTORY_FILE 0x00000040
#endif
#ifndef FILE_SYNCHRONOUS_IO_NONALERT
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#endif
#ifndef FILE_OPEN_REPARSE_POINT
#define FILE_OPEN_REPARSE_POINT 0x00200000
#endif
#ifndef FILE_CREATED
#define FILE_CREATED 0x00000002
#endif

namespace VqBase {

// A log file path taken apart: the volume root ("C:\" or "\\server\share\"),
// the directories below it and the file name (empty when the path ends in a
// separator).
struct LogPathParts {
    std::wstring Root;
    std::vector<std::wstring> Directories;
    std::wstring File;
};

// For "\\server\share\rest": the length of "\\server\share\"; nullopt when
// the path names no share.
std::optional<size_t> NetworkRootEnd(std::wstring_view path);

// Makes the path full and takes it apart. Either separator works; trailing
// dots and blanks of every component are dropped, as the system drops them
// from a last component, so that "Logs. " and "Logs" name one directory.
// Nullopt for a path that is not absolute (no drive or network root), of
// kTracePathChars characters or more, with a component that is empty, holds
// a character no file name may hold or names a device (CON, NUL, COM1);
// problem then receives why, naming a relative, drive-relative or rooted
// path as such.
std::optional<LogPathParts> SplitLogPath(const wchar_t* path, std::wstring* problem = nullptr);

// NtCreateFile of name relative to the directory handle, never following a
// reparse point; FILE_SYNCHRONOUS_IO_NONALERT is added to options. Returns
// the status; information is FILE_CREATED, FILE_OPENED and so on.
LONG OpenRelative(HANDLE directory, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, PSECURITY_DESCRIPTOR security, UniqueHandle& handle, ULONG_PTR* information = nullptr);

// The Win32 code of a status, for reports.
DWORD StatusToError(LONG status);

// "what: E(0000000N)".
std::wstring WithError(const std::wstring& what, DWORD error);

// "\\?\C:\x" and "\\?\UNC\server\x" as "C:\x" and "\\server\x".
std::wstring WithoutLongPrefix(std::wstring path);

// The same path, letter case aside, as the file system compares names.
bool SamePath(std::wstring_view a, std::wstring_view b);

// The final path of the open file or directory (without the long-path
// prefix); false when it cannot be read whole.
bool FinalPath(HANDLE handle, std::wstring& path);

// The checked chain of a log file's directories; holds the handle of the
// last one, in which the file is opened.
// Create: missing directories are made, as the file sink needs them.
// Judge: nothing is made; the walk ends held at the first missing
// directory, which the sink would create with a descriptor it trusts.
enum class WalkMode { Create, Judge };

class CLogDirectory {
public:
    enum Result { Held, NotOpened, Refused };

    // Opens every directory below the root without following a reparse point,
    // creating missing ones relative to their parent's handle with
    // BuildDirectorySecurity. Each must be a plain directory whose
    // final path is the path walked so far, and JudgeLogDirectory must trust
    // it (self: ProcessUserSid()). The root is opened, not judged. The
    // directories a walk made are removed again when it does not end held.
    Result Walk(const LogPathParts& parts, const std::vector<BYTE>& self, WalkMode mode = WalkMode::Create);

    HANDLE Handle() const { return m_Handle.get(); }
    // The final path of the held directory.
    const std::wstring& Path() const { return m_Path; }
    // Why the last Walk did not hold a directory.
    const std::wstring& Problem() const { return m_Problem; }
    // After a Judge walk: the first directory that does not exist yet (the
    // held one is its parent), or empty when the whole chain exists.
    const std::wstring& Missing() const { return m_Missing; }

private:
    // Empty when the directory just opened as name below the directory at
    // parent may be used; final receives its final path.
    static std::wstring Check(HANDLE directory, const std::wstring& parent, const std::wstring& name,
                              const std::vector<BYTE>& self, std::wstring& final);

    UniqueHandle m_Handle;
    std::wstring m_Path;
    std::wstring m_Problem;
    std::wstring m_Missing;
};

// Creates the missing directories of a file path (never the file itself),
// as the log file sink does: one at a time below the root, each relative to
// the checked handle of its parent (see CLogDirectory). True when they all
// exist and may be trusted afterwards; false for a path without a drive or
// network root, a path of kTracePathChars characters or more, a directory
// that cannot be created, or one that is not trusted.
bool CreatePath(const wchar_t* path);

}  // namespace VqBase
