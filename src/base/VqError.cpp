// The error object: code, description and source position as named texts.
#include "base/VqError.h"

#include "base/VqTrace.h"

#include <cwchar>
#include <iterator>

namespace VqBase {

namespace {

constexpr wchar_t kCode[] = L"Code";
constexpr wchar_t kFile[] = L"File";
constexpr wchar_t kLine[] = L"Line";
constexpr wchar_t kFunction[] = L"Function";
constexpr wchar_t kDescription[] = L"Description";
constexpr wchar_t kDebugInfo[] = L"DebugInfo";
constexpr wchar_t kDump[] = L"Dump";

}  // namespace

bool CaseInsensitiveLess::operator()(const std::wstring& a, const std::wstring& b) const {
    return lstrcmpiW(a.c_str(), b.c_str()) < 0;
}

CVqError::CVqError(const ErrorCode& code, const wchar_t* file, int line, const wchar_t* function) {
    // Taken first, so that nothing done while building the object can change
    // the last error that 0xFFFFFFFF describes.
    const DWORD lastError = GetLastError();

    decltype(PropertyMap) properties;
    wchar_t buffer[64];
    std::swprintf(buffer, std::size(buffer), L"0x%08X", static_cast<unsigned>(code.m_Code));
    properties.try_emplace(kCode, buffer);
    if (file) properties.try_emplace(kFile, file);
    if (line != 0) {
        std::swprintf(buffer, std::size(buffer), L"%u", static_cast<unsigned>(line));
        properties.try_emplace(kLine, buffer);
    }
    if (function) properties.try_emplace(kFunction, function);
    properties.try_emplace(kDescription, GetErrorText(code.m_Code == 0xFFFFFFFF ? lastError : code.m_Code));
    PropertyMap = std::move(properties);
}

DWORD CVqError::GetCode() {
    const std::wstring& text = PropertyMap[kCode];
    if (text.size() < 3) return 0;
    return static_cast<DWORD>(std::wcstoul(text.c_str() + 2, nullptr, 16));
}

const wchar_t* CVqError::GetDescription() { return PropertyMap[kDescription].c_str(); }

const wchar_t* CVqError::GetDebugInfo() {
    if (auto found = PropertyMap.find(kDebugInfo); found != PropertyMap.end()) return found->second.c_str();

    // A multi-string: name and text alternate, each followed by a NUL; the
    // string's own terminator supplies the final one.
    std::wstring info;
    for (const wchar_t* name : {kFile, kLine, kFunction}) {
        auto property = PropertyMap.find(name);
        if (property == PropertyMap.end()) continue;
        info.append(name).push_back(L'\0');
        info.append(property->second).push_back(L'\0');
    }
    return PropertyMap.try_emplace(kDebugInfo, std::move(info)).first->second.c_str();
}

const wchar_t* CVqError::GetDump() {
    // A dump never lists an earlier dump.
    PropertyMap.erase(kDump);
    std::wstring dump;
    for (const auto& [name, text] : PropertyMap) dump.append(name).append(L": ").append(text).append(L"\r\n");
    return PropertyMap.try_emplace(kDump, std::move(dump)).first->second.c_str();
}

const wchar_t* CVqError::ToString() { return static_cast<IVqErrorW*>(this)->GetDump(); }

void ThrowError(const ErrorCode& code, const wchar_t* file, int line, const wchar_t* function) {
    throw CVqError(code, file, line, function);
}

void AssertionFailed(const wchar_t* function, const char* expression, const wchar_t* file, int line) {
    GetTrace().TraceW(TL_ERROR, L"[%s] assert( %S )", function ? function : L"", expression ? expression : "");
    ThrowError(ErrorCode(kAssertionFailure), file, line, function);
}

}  // namespace VqBase
