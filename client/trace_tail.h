#pragma once
// trace tail: the last lines of the service's log file, and with follow the
// lines it writes after them, in the console's characters. Memory stays
// bounded whatever the file and its lines: the file is read in pieces.
#include <windows.h>

#include <functional>

namespace diagctl {

// Prints the last count lines; follow goes on until the process is ended.
int RunTraceTail(DWORD count, bool follow);

// Reads up to size bytes at offset into buffer; returns how many it read.
using ReadAt = std::function<size_t(ULONGLONG offset, char* buffer, size_t size)>;

// Where the last count lines of size bytes begin (a line that is not ended
// yet counts; its line feed does not begin another line); size for none.
ULONGLONG StartOfLastLines(const ReadAt& read, ULONGLONG size, ULONGLONG count);

// Where the whole lines of the bytes from offset to size end: after their
// last line feed. A line that has no end yet is held back until it has one,
// unless it is a piece long already.
ULONGLONG EndOfWholeLines(const ReadAt& read, ULONGLONG offset, ULONGLONG size);

}  // namespace diagctl
