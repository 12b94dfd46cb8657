// Child modes of a test executable, chosen before any test runs:
// "--child-exit N" ends at once with exit code N, "--child-sleep" never ends
// on its own. The export tests start these in place of reg.exe.
#include <windows.h>

#include <cwchar>

namespace {

struct ChildMode {
    ChildMode() {
        const wchar_t* commandLine = GetCommandLineW();
        if (const wchar_t* exit = std::wcsstr(commandLine, L" --child-exit "))
            ExitProcess(static_cast<UINT>(std::wcstoul(exit + 14, nullptr, 10)));
        if (std::wcsstr(commandLine, L" --child-sleep") != nullptr)
            for (;;)
                Sleep(INFINITE);
    }
};

const ChildMode childMode;

}  // namespace
