#pragma once
// diagctl's JSON output (--json): one object per run, written as text, its
// members in the order they are added. The schema of every object is
// docs/diagctl.schema.json.
#include <windows.h>

#include <string>
#include <vector>

namespace diagctl {

// text as a JSON string, quotes included; control characters escaped.
std::wstring JsonString(const std::wstring& text);

class JsonObject {
public:
    JsonObject& String(const wchar_t* name, const std::wstring& text);
    // A string, or null for an empty text.
    JsonObject& StringOrNull(const wchar_t* name, const std::wstring& text);
    JsonObject& Number(const wchar_t* name, unsigned long long number);
    JsonObject& Signed(const wchar_t* name, long long number);
    JsonObject& Bool(const wchar_t* name, bool value);
    JsonObject& Null(const wchar_t* name);
    JsonObject& Object(const wchar_t* name, const JsonObject& object);
    // A value written as JSON already (an array).
    JsonObject& Raw(const wchar_t* name, const std::wstring& json);
    std::wstring Text() const { return L"{" + m_Members + L"}"; }

private:
    JsonObject& Member(const wchar_t* name, const std::wstring& json);
    std::wstring m_Members;
};

// An array of values written as JSON already, and one of strings.
std::wstring JsonArray(const std::vector<std::wstring>& values);
std::wstring JsonStrings(const std::vector<std::wstring>& texts);

// A code as every object gives it: {"code", "hex", "text"}, the text null
// when there is none.
JsonObject CodeJson(DWORD code, const std::wstring& text);

}  // namespace diagctl
