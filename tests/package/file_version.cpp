#include "file_version.h"

#include <cstring>
#include <cwchar>
#include <vector>

namespace package_test {

FileVersion ReadFileVersion(const std::wstring& path) {
    FileVersion result;
    DWORD ignored = 0;
    std::vector<BYTE> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    void* value = nullptr;
    UINT length = 0;
    if (data.empty() || !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()) ||
        !VerQueryValueW(data.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        result.Error = GetLastError() ? GetLastError() : ERROR_RESOURCE_DATA_NOT_FOUND;
        return result;
    }
    result.Fixed = *static_cast<const VS_FIXEDFILEINFO*>(value);
    if (VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &value, &length) && length >= sizeof(DWORD))
        result.Translation = *static_cast<const DWORD*>(value);
    wchar_t block[64] = {};
    swprintf(block, 64, L"\\StringFileInfo\\%04x%04x\\", LOWORD(result.Translation), HIWORD(result.Translation));
    for (const wchar_t* name : {L"FileVersion", L"ProductVersion", L"FileDescription", L"ProductName",
                                L"OriginalFilename", L"LegalCopyright", L"CompanyName"})
        if (VerQueryValueW(data.data(), (block + std::wstring(name)).c_str(), &value, &length) && length > 0)
            result.Strings[name] = static_cast<const wchar_t*>(value);
    return result;
}

std::wstring FixedFileVersion(const FileVersion& version) {
    const DWORD ms = version.Fixed.dwFileVersionMS, ls = version.Fixed.dwFileVersionLS;
    if (LOWORD(ls) != 0)
        return L"<fourth number " + std::to_wstring(LOWORD(ls)) + L">";
    return std::to_wstring(HIWORD(ms)) + L"." + std::to_wstring(LOWORD(ms)) + L"." + std::to_wstring(HIWORD(ls));
}

std::wstring Widen(const char* text) { return std::wstring(text, text + std::strlen(text)); }

std::string Narrow(const std::wstring& text) {
    std::string result;
    for (wchar_t c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

}  // namespace package_test
