#pragma once
// The size bound of a log file: when a line is due to rotate the file, and
// the rotation of NAME to NAME.1 relative to the held directory.
#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>

namespace VqBase {

// Which file a handle is open on: its volume and its index there.
struct FileIdentity {
    DWORD Volume = 0;
    ULONGLONG Index = 0;
};

// True when a line of lineSize bytes would take a file of fileSize bytes
// past bound. An empty file takes any line, so that no line is ever split.
bool RotationDue(ULONGLONG fileSize, size_t lineSize, DWORD bound);

// The identity of the open log file that is due to be rotated; nullopt
// when it cannot be read.
std::optional<FileIdentity> IdentityOf(HANDLE file);

// "NAME.1".
std::wstring RotatedName(const std::wstring& name);

// Renames name in directory to NAME.1, replacing an older NAME.1 (its entry
// only: a link there is replaced, never followed), provided that name is
// still the file identified. Nothing is opened by a path: the rename is
// relative to the held directory. Empty when done, else why not.
std::wstring RotateLogFile(HANDLE directory, const std::wstring& name, const FileIdentity& expected);

}  // namespace VqBase
