// Stands in for reg.exe in the stop tests. Its behaviour comes from the key
// of "reg.exe export KEY FILE /y": "hang" never ends, "sleep:N" ends after N
// milliseconds with exit code 7; anything else ends at once with 0.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    const std::wstring key = argc > 2 ? argv[2] : L"";
    if (key == L"hang") {
        Sleep(INFINITE);
        return 0;
    }
    if (key.rfind(L"sleep:", 0) == 0) {
        Sleep(static_cast<DWORD>(std::wcstoul(key.c_str() + 6, nullptr, 10)));
        return 7;
    }
    return 0;
}
