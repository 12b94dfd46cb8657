#pragma once
// diagctl's output: every text goes out whole, whatever its characters.
#include <string>

namespace diagctl {

// To the standard output or the standard error. A console gets the text
// through the console API; a file or a pipe gets it as UTF-8.
void Out(const std::wstring& text);
void Err(const std::wstring& text);

}  // namespace diagctl
