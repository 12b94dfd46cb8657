#pragma once
// A binary's version resource as Windows reads it (GetFileVersionInfoW).
#include <windows.h>

#include <map>
#include <string>

namespace package_test {

struct FileVersion {
    DWORD Error = 0;  // 0: read; otherwise why not
    VS_FIXEDFILEINFO Fixed{};
    DWORD Translation = 0;  // language in the low word, code page in the high word
    std::map<std::wstring, std::wstring> Strings;  // FileVersion, ProductName, ... as present
};

FileVersion ReadFileVersion(const std::wstring& path);
// "1.2.3" from the fixed part; its fourth number must be 0 and is not shown.
std::wstring FixedFileVersion(const FileVersion& version);

std::wstring Widen(const char* text);
std::string Narrow(const std::wstring& text);  // ASCII; anything else as '?'

}  // namespace package_test
