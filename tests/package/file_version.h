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
    // FileVersion, ProductVersion, FileDescription, ProductName,
    // OriginalFilename, LegalCopyright and CompanyName, when present.
    std::map<std::wstring, std::wstring> Strings;
};

FileVersion ReadFileVersion(const std::wstring& path);

// "1.2.3" from the fixed part's file version (its fourth number is not shown).
std::wstring FixedFileVersion(const FileVersion& version);
std::wstring FixedProductVersion(const FileVersion& version);

std::wstring Widen(const char* text);
std::string Narrow(const std::wstring& text);

}  // namespace package_test
