#include "json.h"

#include "errortext.h"

namespace diagctl {

std::wstring JsonString(const std::wstring& text) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring json = L"\"";
    for (const wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            json += L'\\';
            json += c;
        } else if (c < 0x20) {
            json += L"\\u00";
            json += kDigits[c >> 4];
            json += kDigits[c & 0xF];
        } else {
            json += c;
        }
    }
    return json + L"\"";
}

JsonObject& JsonObject::Member(const wchar_t* name, const std::wstring& json) {
    if (!m_Members.empty())
        m_Members += L",";
    m_Members += JsonString(name) + L":" + json;
    return *this;
}

JsonObject& JsonObject::String(const wchar_t* name, const std::wstring& text) { return Member(name, JsonString(text)); }

JsonObject& JsonObject::StringOrNull(const wchar_t* name, const std::wstring& text) {
    return text.empty() ? Null(name) : String(name, text);
}

JsonObject& JsonObject::Number(const wchar_t* name, unsigned long long number) {
    return Member(name, std::to_wstring(number));
}

JsonObject& JsonObject::Signed(const wchar_t* name, long long number) { return Member(name, std::to_wstring(number)); }

JsonObject& JsonObject::Bool(const wchar_t* name, bool value) { return Member(name, value ? L"true" : L"false"); }

JsonObject& JsonObject::Null(const wchar_t* name) { return Member(name, L"null"); }

JsonObject& JsonObject::Object(const wchar_t* name, const JsonObject& object) { return Member(name, object.Text()); }

JsonObject& JsonObject::Raw(const wchar_t* name, const std::wstring& json) { return Member(name, json); }

std::wstring JsonArray(const std::vector<std::wstring>& values) {
    std::wstring json;
    for (const std::wstring& value : values)
        json += (json.empty() ? L"" : L",") + value;
    return L"[" + json + L"]";
}

std::wstring JsonStrings(const std::vector<std::wstring>& texts) {
    std::vector<std::wstring> values;
    for (const std::wstring& text : texts)
        values.push_back(JsonString(text));
    return JsonArray(values);
}

JsonObject CodeJson(DWORD code, const std::wstring& text) {
    return JsonObject().Number(L"code", code).String(L"hex", HexCode(code)).StringOrNull(L"text", text);
}

}  // namespace diagctl
