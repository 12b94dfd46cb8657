#pragma once
// The readable form of the service's status and configuration. No service
// handles here: the caller gathers the facts.
#include <windows.h>

#include <string>

namespace diagctl {

struct ServiceFacts {
    DWORD State = 0;
    DWORD Win32ExitCode = 0;
    DWORD ServiceExitCode = 0;
    std::wstring Win32ExitText;    // empty: no text
    std::wstring ServiceExitText;  // empty: no text
    DWORD ProcessId = 0;           // 0: no process
    bool HasConfig = false;        // the four below are filled
    DWORD StartType = 0;
    std::wstring ImagePath;
    std::wstring DisplayName;
};

// "demand", "automatic", ...
std::wstring StartTypeName(DWORD startType);

// The first line: "<service>: STATE, win32 exit code N, service exit code N
// (0x...)"; then one line per exit code with its text, the process id while
// there is one and, with a configuration, the start type, the image path and
// the display name.
std::wstring FormatStatus(const std::wstring& service, const ServiceFacts& facts);

}  // namespace diagctl
