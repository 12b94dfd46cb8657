#pragma once
// Drives the real service from a test or a benchmark: its installation under
// the service control manager and the registry keys its exports read. The
// channel itself is diagctl's (client/channel.h).
#include <windows.h>

#include <string>
#include <vector>

#include "module_path.h"
#include "process_probe.h"

namespace robustness {

// One installation of the service executable under the product's service
// name. A stale installation is removed first; the destructor stops and
// deletes the service on every path, so a failed test leaves nothing behind.
class ServiceInstallation {
public:
    explicit ServiceInstallation(const std::wstring& exePath);
    ServiceInstallation(const ServiceInstallation&) = delete;
    ServiceInstallation& operator=(const ServiceInstallation&) = delete;
    ~ServiceInstallation();

    bool Installed() const { return m_Service != nullptr; }
    DWORD InstallError() const { return m_InstallError; }

    // Starts the service and waits until it reports RUNNING (or stops).
    bool Start(DWORD timeoutMs = 15000);
    bool Query(SERVICE_STATUS_PROCESS* status) const;
    // Waits until the service reports STOPPED; the last status in *status.
    bool WaitStopped(DWORD timeoutMs, SERVICE_STATUS_PROCESS* status) const;
    void StopAndDelete();

private:
    SC_HANDLE m_Manager = nullptr;
    SC_HANDLE m_Service = nullptr;
    DWORD m_InstallError = 0;
};

using testing_support::ModuleDirectory;

// Creates HKLM\<subKey>\<prefix>NNN (count keys, each with two small values)
// and returns their reg.exe names ("HKLM\...").
std::vector<std::wstring> CreateSmallKeys(const std::wstring& subKey, const std::wstring& prefix, int count);
void DeleteKeyTree(const std::wstring& subKey);

}  // namespace robustness
