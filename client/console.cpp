#include "console.h"

#include <windows.h>

namespace diagctl {
namespace {

bool g_JsonOnly = false;

// The C runtime's wide printf converts through the "C" locale and stops at
// the first character outside ASCII, so the runtime is bypassed.
void Write(DWORD which, const std::wstring& text) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = Utf8(text);
    if (!bytes.empty())
        WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

std::string Utf8(const std::wstring& text) {
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

void Out(const std::wstring& text) {
    if (!g_JsonOnly)
        Write(STD_OUTPUT_HANDLE, text);
}

void JsonOutputOnly() { g_JsonOnly = true; }

void OutJson(const std::wstring& json) { Write(STD_OUTPUT_HANDLE, json + L"\n"); }
void Err(const std::wstring& text) { Write(STD_ERROR_HANDLE, text); }

}  // namespace diagctl
