// The launcher of the test build of the service: starts vq_fake_reg.exe from
// the service's own directory with the export command line, suspended as the
// product's launcher starts reg.exe, so that stop tests can have an export
// that hangs or ends late.
#include <windows.h>

#include <string>

#include "ReRiruRuvazor.h"
#include "common/winapi_wrappers.h"

DiagService::ProcessStarter TestProcessStarter() {
    return [](wchar_t* commandLine, PROCESS_INFORMATION* info) {
        wchar_t self[MAX_PATH] = {};
        const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring fake(self, length);
        fake = fake.substr(0, fake.find_last_of(L'\\') + 1) + L"vq_fake_reg.exe";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        *info = PROCESS_INFORMATION{};
        return Winapi::CreateProcess(fake.c_str(), commandLine, nullptr, nullptr, false,
                                     CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup, info);
    };
}
