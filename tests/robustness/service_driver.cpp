#include "service_driver.h"

#include <cwchar>

#include "ReRiruRuvazor.h"

namespace robustness {

ServiceInstallation::ServiceInstallation(const std::wstring& exePath) {
    m_Manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!m_Manager) {
        m_InstallError = ::GetLastError();
        return;
    }
    // A service left over by an earlier run that crashed.
    if (SC_HANDLE stale = ::OpenServiceW(m_Manager, kServiceName, SERVICE_ALL_ACCESS)) {
        m_Service = stale;
        StopAndDelete();
    }
    std::wstring binPath = L"\"" + exePath + L"\"";
    for (int attempt = 0; attempt < 50 && !m_Service; ++attempt) {
        m_Service = ::CreateServiceW(m_Manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     binPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        m_InstallError = m_Service ? 0 : ::GetLastError();
        // A deleted service lingers until its process has gone.
        if (!m_Service && m_InstallError == ERROR_SERVICE_MARKED_FOR_DELETE) ::Sleep(100);
        else if (!m_Service && m_InstallError == ERROR_SERVICE_EXISTS) ::Sleep(100);
        else break;
    }
}

ServiceInstallation::~ServiceInstallation() {
    StopAndDelete();
    if (m_Manager) ::CloseServiceHandle(m_Manager);
}

bool ServiceInstallation::Query(SERVICE_STATUS_PROCESS* status) const {
    DWORD needed = 0;
    return m_Service && ::QueryServiceStatusEx(m_Service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                                               sizeof *status, &needed);
}

bool ServiceInstallation::Start(DWORD timeoutMs) {
    if (!m_Service || !::StartServiceW(m_Service, 0, nullptr)) return false;
    SERVICE_STATUS_PROCESS status{};
    for (DWORD waited = 0; waited <= timeoutMs; waited += 10) {
        if (!Query(&status)) return false;
        if (status.dwCurrentState == SERVICE_RUNNING) return true;
        if (status.dwCurrentState == SERVICE_STOPPED) return false;
        ::Sleep(10);
    }
    return false;
}

bool ServiceInstallation::WaitStopped(DWORD timeoutMs, SERVICE_STATUS_PROCESS* status) const {
    for (DWORD waited = 0; waited <= timeoutMs; waited += 10) {
        if (!Query(status)) return false;
        if (status->dwCurrentState == SERVICE_STOPPED) return true;
        ::Sleep(10);
    }
    return false;
}

void ServiceInstallation::StopAndDelete() {
    if (!m_Service) return;
    SERVICE_STATUS_PROCESS status{};
    if (Query(&status) && status.dwCurrentState != SERVICE_STOPPED) {
        SERVICE_STATUS plain{};
        ::ControlService(m_Service, SERVICE_CONTROL_STOP, &plain);
        if (!WaitStopped(10000, &status) && status.dwProcessId) {
            // A service that ignores STOP must not outlive the run.
            OwnedHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
            if (process) {
                ::TerminateProcess(process.get(), 1);
                ::WaitForSingleObject(process.get(), 5000);
            }
        }
    }
    ::DeleteService(m_Service);
    ::CloseServiceHandle(m_Service);
    m_Service = nullptr;
    // Deletion completes once the process has gone and the last handle closed.
    for (int i = 0; i < 100; ++i) {
        SC_HANDLE again = ::OpenServiceW(m_Manager, kServiceName, SERVICE_QUERY_STATUS);
        if (!again) break;
        ::CloseServiceHandle(again);
        ::Sleep(20);
    }
}


std::vector<std::wstring> CreateSmallKeys(const std::wstring& subKey, const std::wstring& prefix, int count) {
    std::vector<std::wstring> names;
    for (int i = 0; i < count; ++i) {
        wchar_t leaf[32];
        swprintf(leaf, 32, L"%ls%03d", prefix.c_str(), i);
        std::wstring path = subKey + L"\\" + leaf;
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr) == ERROR_SUCCESS) {
            DWORD number = static_cast<DWORD>(i);
            ::RegSetValueExW(key, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
            const wchar_t text[] = L"a small value";
            ::RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
            ::RegCloseKey(key);
        }
        names.push_back(L"HKLM\\" + path);
    }
    return names;
}

void DeleteKeyTree(const std::wstring& subKey) { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey.c_str()); }

}  // namespace robustness
