#include "processes.h"

#include <tlhelp32.h>

#include <string>

#include "paths.h"

namespace diagctl {
namespace {

// The snapshot's handle is INVALID_HANDLE_VALUE when there is none.
VqBase::UniqueHandle ProcessSnapshot() {
    return VqBase::UniqueHandle(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
}

std::wstring ImageOf(HANDLE process) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process, 0, path.data(), &length))
        return std::wstring();
    path.resize(length);
    return path;
}

}  // namespace

DWORD OtherProcessOfThisProgram() {
    const std::wstring self = FileNameOf(ModulePath());
    if (self.empty())
        return 0;
    const auto snapshot = ProcessSnapshot();
    if (snapshot.get() == INVALID_HANDLE_VALUE)
        return 0;
    DWORD found = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more && found == 0;
         more = Process32NextW(snapshot.get(), &entry))
        if (entry.th32ProcessID != GetCurrentProcessId() && lstrcmpiW(entry.szExeFile, self.c_str()) == 0)
            found = entry.th32ProcessID;
    return found;
}

std::vector<VqBase::UniqueHandle> ProcessesRunning(const std::wstring& exe, DWORD access) {
    std::vector<VqBase::UniqueHandle> running;
    const std::wstring name = FileNameOf(exe);
    const auto snapshot = ProcessSnapshot();
    if (snapshot.get() == INVALID_HANDLE_VALUE)
        return running;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (lstrcmpiW(entry.szExeFile, name.c_str()) != 0)
            continue;
        VqBase::UniqueHandle process(
            OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | access, FALSE, entry.th32ProcessID));
        // The name alone could be another program's; the full path is not.
        if (process.get() != nullptr && lstrcmpiW(ImageOf(process.get()).c_str(), exe.c_str()) == 0)
            running.push_back(std::move(process));
    }
    return running;
}

}  // namespace diagctl
