#pragma once
// Ordinal comparison and exact-size formatting of wide strings.
#include <windows.h>

#include <cstdarg>
#include <string>
#include <string_view>

namespace string {

// -1, 0 or +1 by code units compared as unsigned 16-bit numbers; a null
// argument is traced and thrown as error 87.
int compare(const wchar_t* lhs, const wchar_t* rhs);

// The ordering predicate of the keyword map: true when compare(a, b) > 0.
bool greater(const wchar_t* a, const wchar_t* b);

// printf-style formatting with the classic wide specifiers ("%s" wide, "%S"
// narrow) into a string of exactly the right size.
std::wstring format(const wchar_t* format, ...);
std::wstring format_impl(const wchar_t* format, va_list arguments);

// Decimal text of an unsigned 32-bit value.
std::wstring to_wstring(DWORD value);

// A string from a possibly null pointer (null gives the empty string).
std::wstring from_ptr(const wchar_t* text);

// The text with every control character (below U+0020, and U+007F) written
// as "\xHH", so that text from outside cannot break a trace line.
std::wstring escape_controls(std::wstring_view text);

}  // namespace string
