#pragma once
// The size bound of a log file: when a line is due to rotate it, and the
// rotation itself, relative to the held directory and with NAME never
// free: the next file is made first under a name nobody can guess, the
// current file becomes NAME.1 by a second link, and the next file takes
// NAME's place by one replacing rename. Another user who loops on creating
// NAME therefore never finds it free.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "base/VqLogFile.h"
#include "base/VqLogNames.h"
#include "base/VqLogPlants.h"

namespace VqBase {

// Which file a handle is open on: its volume and its index there (what a
// reader of the log compares to see that the file was replaced).
struct FileIdentity {
    DWORD Volume = 0;
    ULONGLONG Index = 0;
};

// True when a line of lineSize bytes would take a file of fileSize bytes
// past bound. An empty file takes any line, so that no line is ever split.
bool RotationDue(ULONGLONG fileSize, size_t lineSize, DWORD bound);

// One rotation of name in directory (whose final path is directoryPath).
struct LogRotation {
    HANDLE Directory = nullptr;
    const std::wstring* DirectoryPath = nullptr;
    std::wstring Name;
    // The index of the file that was checked and measured: only that file
    // is rotated.
    LONGLONG Index = 0;
    // How the next file is made, and whose an older NAME.1 may be; Self is
    // trusted as its owner.
    const LogFileRules* Rules = nullptr;
    // The file the last rotation made NAME.1: the sink's own whoever owns it.
    std::atomic<LONGLONG>* RotatedIndex = nullptr;
};

// Rotates: the older generation at NAME.1 is deleted (by its handle, once
// it is judged the sink's), whatever else stands there is moved aside and
// kept (moved), NAME.1 becomes a second link of the file and the next file
// takes NAME's place; next is then open on it, for appending. Empty when
// done; else why not, with NAME still the rotated file with one link (a
// NAME.1 held open without delete sharing, NAME held open, a file system
// without hard links).
std::wstring RotateLogFile(const LogRotation& rotation, CTraceFile& next, std::vector<MovedPlant>& moved);

}  // namespace VqBase
