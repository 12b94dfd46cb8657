#pragma once
// The system's one exception type and its thrower. The error text lookup
// that describes its code is included with it.
#include <windows.h>

#include <map>
#include <string>

#include "base/VqErrorText.h"

namespace VqBase {

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

}  // namespace VqBase
