#pragma once
// The way diagctl names an error: its number in decimal and hexadecimal and
// its text, always in the product's language (the "ProductLocale" setting
// that the service's own error texts use).
#include <windows.h>

#include <string>

namespace diagctl {

// The text of a code from the message tables, without line ends and blanks
// at the end; empty when no table has a text for it.
std::wstring ErrorText(DWORD code);

// "0xXXXXXXXX".
std::wstring HexCode(DWORD code);

// "N (0xXXXXXXXX): text"; a missing text is said so.
std::wstring CodeAndText(DWORD code, const std::wstring& text);

// "error " and CodeAndText.
std::wstring DescribeError(DWORD code, const std::wstring& text);
std::wstring DescribeError(DWORD code);

// "WHAT failed: error N (0x...): text".
std::wstring FailureMessage(const std::wstring& what, DWORD code);

// Writes "diagctl: " and the failure message to the standard error and
// returns the exit code for the error.
int ReportFailure(const std::wstring& what, DWORD code);

}  // namespace diagctl
