#include "common/string.h"

#include <cwchar>
#include <stdio.h>

#include "base/VqError.h"
#include "base/VqTrace.h"

namespace string {

namespace {

constexpr wchar_t kFile[] = L"common\\string";

[[noreturn]] void NullArgument(const wchar_t* function, const wchar_t* parameter, int line) {
    VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] String %s: NULL", function, parameter);
    VqBase::ThrowError(VqBase::ErrorCode(ERROR_INVALID_PARAMETER), kFile, line, function);
}

}  // namespace

int compare(const wchar_t* lhs, const wchar_t* rhs) {
    if (!lhs) NullArgument(L"string::compare", L"lhs", __LINE__);
    if (!rhs) NullArgument(L"string::compare", L"rhs", __LINE__);
    // Units compare as unsigned 16-bit numbers; the terminating zero of a
    // proper prefix is smaller than any unit of the longer string.
    for (;; ++lhs, ++rhs) {
        const auto l = static_cast<unsigned short>(*lhs);
        const auto r = static_cast<unsigned short>(*rhs);
        if (l != r) return l < r ? -1 : 1;
        if (l == 0) return 0;
    }
}

bool greater(const wchar_t* a, const wchar_t* b) { return compare(a, b) > 0; }

std::wstring format(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    struct End {
        va_list& list;
        ~End() { va_end(list); }
    } end{arguments};
    return format_impl(format, arguments);
}

std::wstring format_impl(const wchar_t* format, va_list arguments) {
    constexpr wchar_t kFunction[] = L"string::format_impl";
    if (!format) NullArgument(kFunction, L"format", __LINE__);

    // The Microsoft-named formatter keeps the classic wide specifiers ("%s"
    // wide, "%S" narrow); each pass consumes its own copy of the list.
    va_list sizing;
    va_copy(sizing, arguments);
    const int needed = _vsnwprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    if (needed < 0) {
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] _vsnwprintf(): %li", kFunction, static_cast<long>(needed));
        VqBase::ThrowError(VqBase::ErrorCode(ERROR_INVALID_DATA), kFile, __LINE__, kFunction);
    }

    // The string itself is the buffer: n characters plus its own zero
    // terminator, so a result that fills the capacity exactly is still
    // terminated.
    std::wstring buffer(static_cast<size_t>(needed), L'\0');
    va_list writing;
    va_copy(writing, arguments);
    const int written = _vsnwprintf(buffer.data(), static_cast<size_t>(needed), format, writing);
    va_end(writing);
    if (written != needed) {
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] _vsnwprintf(), 1-st: %li, 2-nd: %li", kFunction,
                                  static_cast<long>(needed), static_cast<long>(written));
        VqBase::ThrowError(VqBase::ErrorCode(ERROR_INVALID_DATA), kFile, __LINE__, kFunction);
    }
    buffer.resize(std::wcslen(buffer.c_str()));
    return buffer;
}

std::wstring to_wstring(DWORD value) { return std::to_wstring(value); }

std::wstring from_ptr(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

std::wstring escape_controls(std::wstring_view text) {
    constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring escaped;
    escaped.reserve(text.size());
    for (const wchar_t c : text) {
        if (c < L' ' || c == L'\x7F') {
            escaped += L"\\x";
            escaped += kDigits[(c >> 4) & 0xF];
            escaped += kDigits[c & 0xF];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace string
