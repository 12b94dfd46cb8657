#pragma once
// trace tail: the last lines of the service's log file, and with follow the
// lines it writes after them, in the console's characters.
#include <windows.h>

#include <string>
#include <vector>

namespace diagctl {

// Prints the last count lines; follow goes on until the process is ended.
int RunTraceTail(DWORD count, bool follow);

// The last count whole lines of bytes (a line that is not ended yet
// counts), each without its CR LF.
std::vector<std::string> LastLines(const std::string& bytes, size_t count);

// Lines in code page 1251 as text, each ended by a line feed.
std::wstring FromLogCodePage(const std::vector<std::string>& lines);

}  // namespace diagctl
