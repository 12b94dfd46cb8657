// Stands in for reg.exe in the export tests, started by their launcher:
// "exit N" ends at once with exit code N; "sleep PID" runs until it is
// terminated, but no longer than the test process PID lives (and at most two
// minutes), so that a child that a failed test leaves behind cannot keep the
// test run waiting. A program of its own, small and without a console, so
// that hundreds of starts take seconds under Wine, not a minute.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 87;
    const DWORD value = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    if (std::wcscmp(argv[1], L"exit") == 0) return static_cast<int>(value);
    if (std::wcscmp(argv[1], L"sleep") != 0) return 87;
    if (const HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, value)) {
        WaitForSingleObject(parent, 120000);
        CloseHandle(parent);
    } else {
        Sleep(120000);
    }
    return 0;
}
