// Child modes of a test executable, chosen before any test runs:
// "--child-exit N" ends at once with exit code N; "--child-sleep PID" runs
// until it is terminated, but no longer than the test process PID lives (and
// at most two minutes), so that a child that a failed test leaves behind
// cannot keep the test run waiting. The export tests start these in place of
// reg.exe.
#include <windows.h>

#include <cwchar>

namespace {

struct ChildMode {
    ChildMode() {
        const wchar_t* commandLine = GetCommandLineW();
        if (const wchar_t* exit = std::wcsstr(commandLine, L" --child-exit "))
            ExitProcess(static_cast<UINT>(std::wcstoul(exit + 14, nullptr, 10)));
        if (const wchar_t* sleep = std::wcsstr(commandLine, L" --child-sleep ")) {
            const DWORD parent = static_cast<DWORD>(std::wcstoul(sleep + 15, nullptr, 10));
            const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, parent);
            if (process != nullptr)
                WaitForSingleObject(process, 120000);
            else
                Sleep(120000);
            ExitProcess(0);
        }
    }
};

const ChildMode childMode;

}  // namespace
