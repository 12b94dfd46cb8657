#pragma once
// The system's one exception type, its thrower and the error text lookup.
#include <windows.h>

#include <map>
#include <string>

namespace VqBase {

inline constexpr wchar_t kProductKey[] = L"SOFTWARE\\Brenmoor\\Orvanta";

// ERROR_ASSERTION_FAILURE; not every SDK header set defines it.
inline constexpr DWORD kAssertionFailure = 668;

struct ErrorCode {
    explicit ErrorCode(DWORD code) : m_Code(code) {}
    DWORD m_Code;
};

struct IVqErrorW {
    virtual DWORD GetCode() = 0;
    virtual const wchar_t* GetDescription() = 0;
    virtual const wchar_t* GetDebugInfo() = 0;
    virtual const wchar_t* GetDump() = 0;
    virtual const wchar_t* ToString() = 0;
    virtual ~IVqErrorW() = default;
};

// Orders property names as lstrcmpiW does.
struct CaseInsensitiveLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
};

class CVqError : public IVqErrorW {
public:
    CVqError(const ErrorCode& code, const wchar_t* file, int line, const wchar_t* function);
    CVqError(const CVqError&) = default;
    CVqError& operator=(const CVqError&) = default;
    ~CVqError() override = default;

    DWORD GetCode() override;
    const wchar_t* GetDescription() override;
    const wchar_t* GetDebugInfo() override;
    const wchar_t* GetDump() override;
    const wchar_t* ToString() override;

    std::map<std::wstring, std::wstring, CaseInsensitiveLess> PropertyMap;
};

// Builds a CVqError from its arguments and throws it by value.
[[noreturn]] void ThrowError(const ErrorCode& code, const wchar_t* file, int line, const wchar_t* function);

// A failed assertion: one "[%s] assert( %S )" record at TL_ERROR, then the
// error 668 (ERROR_ASSERTION_FAILURE) with the source position.
[[noreturn]] void AssertionFailed(const wchar_t* function, const char* expression, const wchar_t* file, int line);

// Asserts an expression of the calling function; file is the throw site's
// path in the source layout without extension, e.g. L"common\\string".
#define VQ_ASSERT(expression, function, file)                                        \
    do {                                                                             \
        if (!(expression))                                                           \
            ::VqBase::AssertionFailed((function), #expression, (file), __LINE__);     \
    } while (false)

// --- Error text lookup ---

// The description of a code; 0xFFFFFFFF stands for the thread's last error.
std::wstring GetErrorText(DWORD code);

// The message module for a code, or null; the caller frees it.
HMODULE OpenMessageModule(DWORD code);

// The module name that a code is routed to, or null for the system table.
const wchar_t* MessageModuleName(DWORD code);

std::wstring FormatErrorText(DWORD code, HMODULE module);

// The product language (cached for the process; 0x0419 by default).
DWORD GetMessageLanguage();

// Reads "ProductLocale" of subKey under root; 0 or a Win32 error code.
DWORD ReadProductLocale(HKEY root, wchar_t* buffer, DWORD* length, const wchar_t* subKey = kProductKey);

}  // namespace VqBase
