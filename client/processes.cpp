#include "processes.h"

#include <tlhelp32.h>

#include <string>

#include "paths.h"

namespace diagctl {

DWORD OtherProcessOfThisProgram() {
    const std::wstring self = FileNameOf(ModulePath());
    if (self.empty())
        return 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    DWORD found = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == 0; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID != GetCurrentProcessId() && lstrcmpiW(entry.szExeFile, self.c_str()) == 0)
            found = entry.th32ProcessID;
    CloseHandle(snapshot);
    return found;
}

}  // namespace diagctl
