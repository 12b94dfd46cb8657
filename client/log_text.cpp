#include "log_text.h"

#include <windows.h>

namespace diagctl {
namespace {

// The log's code page: one byte is one character.
constexpr UINT kLogCodePage = 1251;

bool IsControl(wchar_t c) { return (c < 0x20 && c != L'\t') || (c >= 0x7F && c <= 0x9F); }

void Escape(std::wstring& text, wchar_t c) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    text += L"\\x";
    text += kDigits[(c >> 4) & 0xF];
    text += kDigits[c & 0xF];
}

}  // namespace

void LogTextDecoder::Put(std::wstring& text, wchar_t c) {
    if (m_PendingCr) {
        m_PendingCr = false;
        if (c == L'\n') {
            text += L'\n';
            m_LineOpen = false;
            return;
        }
        Escape(text, L'\r');
    }
    if (c == L'\r') {
        m_PendingCr = true;
        m_LineOpen = true;
        return;
    }
    if (c == L'\n') {
        text += L'\n';
        m_LineOpen = false;
        return;
    }
    if (IsControl(c))
        Escape(text, c);
    else
        text += c;
    m_LineOpen = true;
}

std::wstring LogTextDecoder::Decode(const char* bytes, size_t size) {
    std::wstring text;
    if (size == 0)
        return text;
    std::wstring wide(size, L'\0');
    const int chars = MultiByteToWideChar(kLogCodePage, 0, bytes, static_cast<int>(size), wide.data(),
                                          static_cast<int>(wide.size()));
    wide.resize(chars > 0 ? static_cast<size_t>(chars) : 0);
    text.reserve(wide.size() + wide.size() / 8);
    for (const wchar_t c : wide)
        Put(text, c);
    return text;
}

std::wstring LogTextDecoder::Finish() {
    std::wstring text;
    if (m_PendingCr) {
        m_PendingCr = false;
        Escape(text, L'\r');
    }
    if (m_LineOpen)
        text += L'\n';
    m_LineOpen = false;
    return text;
}

}  // namespace diagctl
