#pragma once
// diagctl's output: every text goes out whole, whatever its characters.
#include <string>

namespace diagctl {

// To the standard output or the standard error. A console gets the text
// through the console API; a file or a pipe gets it as UTF-8.
void Out(const std::wstring& text);
void Err(const std::wstring& text);

// With --json the standard output carries one JSON object and nothing else:
// from then on Out drops its text, and OutJson writes the object (and a
// line end). The standard error keeps every message.
void JsonOutputOnly();
void OutJson(const std::wstring& json);

// The text as UTF-8, as a file or a pipe gets it; empty when it cannot be.
std::string Utf8(const std::wstring& text);

}  // namespace diagctl
