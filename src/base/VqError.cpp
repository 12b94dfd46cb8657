// Provisional error object: enough for throw sites until the full unit lands.
#include "base/VqError.h"

#include "base/VqTrace.h"

#include <cwchar>

namespace VqBase {

bool CaseInsensitiveLess::operator()(const std::wstring& a, const std::wstring& b) const {
    return lstrcmpiW(a.c_str(), b.c_str()) < 0;
}

CVqError::CVqError(const ErrorCode& code, const wchar_t* file, int line, const wchar_t* function) {
    wchar_t buffer[64];
    swprintf(buffer, 64, L"0x%08X", static_cast<unsigned>(code.m_Code));
    PropertyMap.emplace(L"Code", buffer);
    if (file) PropertyMap.emplace(L"File", file);
    if (line) PropertyMap.emplace(L"Line", std::to_wstring(static_cast<unsigned>(line)));
    if (function) PropertyMap.emplace(L"Function", function);
    PropertyMap.emplace(L"Description", GetErrorText(code.m_Code));
}

DWORD CVqError::GetCode() {
    const std::wstring& text = PropertyMap[L"Code"];
    if (text.size() < 3) return 0;
    return static_cast<DWORD>(wcstoul(text.c_str() + 2, nullptr, 16));
}
const wchar_t* CVqError::GetDescription() { return PropertyMap[L"Description"].c_str(); }
const wchar_t* CVqError::GetDebugInfo() { return PropertyMap[L"DebugInfo"].c_str(); }
const wchar_t* CVqError::GetDump() { return PropertyMap[L"Dump"].c_str(); }
const wchar_t* CVqError::ToString() { return GetDump(); }

void ThrowError(const ErrorCode& code, const wchar_t* file, int line, const wchar_t* function) {
    throw CVqError(code, file, line, function);
}

void AssertionFailed(const wchar_t* function, const char* expression, const wchar_t* file, int line) {
    GetTrace().TraceW(TL_ERROR, L"[%s] assert( %S )", function, expression);
    ThrowError(ErrorCode(kAssertionFailure), file, line, function);
}

std::wstring GetErrorText(DWORD code) {
    wchar_t buffer[64];
    swprintf(buffer, 64, L"0x%08X (%d)", static_cast<unsigned>(code), static_cast<int>(code));
    return buffer;
}

}  // namespace VqBase
