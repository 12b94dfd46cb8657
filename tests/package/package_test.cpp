// The Windows Installer package under Wine's msiexec: installed, used, upgraded
// in place, refused as a downgrade and removed, with the operator's trace
// configuration left alone throughout. The packages come from build-packages.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "file_version.h"

namespace {

using e2e::ProcessResult;
using package_test::Narrow;
using package_test::Widen;

const std::wstring kInstallDir = L"C:\\Program Files\\ReRiruRuvazor";
constexpr wchar_t kService[] = L"ReRiruRuvazor";
constexpr wchar_t kTraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vqcc0\\Trace";
constexpr wchar_t kMarker[] = L"PackageTestMarker";
constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr DWORD kMsiexecLimitMs = 120000;

std::wstring PackagePath(const wchar_t* kind, const char* version) {
    std::wstring path = L"Z:" + Widen(VQ_PACKAGE_WORK) + L"/" + kind + L"/ReRiruRuvazor-" + Widen(version) + L"-x64.msi";
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}
const std::wstring kCurrent = PackagePath(L"current", VQ_VERSION);
const std::wstring kNext = PackagePath(L"next", VQ_NEXT_VERSION);

class RegKey {
public:
    RegKey(const wchar_t* path, REGSAM access) {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access | KEY_WOW64_64KEY, &m_Key) != ERROR_SUCCESS)
            m_Key = nullptr;
    }
    ~RegKey() {
        if (m_Key)
            RegCloseKey(m_Key);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY get() const { return m_Key; }

private:
    HKEY m_Key = nullptr;
};

std::wstring ReadString(HKEY key, const wchar_t* subkey, const wchar_t* name) {
    wchar_t value[512] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    if (RegGetValueW(key, subkey, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return L"<absent>";
    return value;
}

// The operator's trace configuration as the package must leave it.
std::wstring TraceMarker() { return ReadString(HKEY_LOCAL_MACHINE, kTraceKey, kMarker); }

// DisplayVersion of each Add/Remove Programs entry named ReRiruRuvazor.
std::vector<std::wstring> ProgramEntries() {
    std::vector<std::wstring> versions;
    RegKey uninstall(kUninstallKey, KEY_READ);
    for (DWORD i = 0; uninstall.get(); ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(uninstall.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (ReadString(uninstall.get(), name, L"DisplayName") == kService)
            versions.push_back(ReadString(uninstall.get(), name, L"DisplayVersion"));
    }
    return versions;
}

// How many services carry the product's name or display name.
int ProductServices() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (!manager)
        return -1;
    std::vector<BYTE> buffer(256 * 1024);
    DWORD needed = 0, count = 0, resume = 0;
    int found = 0;
    if (EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr)) {
        const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
            if (std::wstring(services[i].lpServiceName).find(kService) != std::wstring::npos ||
                std::wstring(services[i].lpDisplayName).find(kService) != std::wstring::npos)
                ++found;
    } else {
        found = -1;
    }
    CloseServiceHandle(manager);
    return found;
}

struct ServiceConfig {
    bool Found = false;
    DWORD Error = 0;
    DWORD Type = 0, Start = 0, ErrorControl = 0;
    std::wstring ImagePath, Account, DisplayName, Description;
};

ServiceConfig QueryConfig() {
    ServiceConfig result;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kService, SERVICE_QUERY_CONFIG) : nullptr;
    if (!service) {
        result.Error = GetLastError();
    } else {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
            result.Found = true;
            result.Type = config->dwServiceType;
            result.Start = config->dwStartType;
            result.ErrorControl = config->dwErrorControl;
            result.ImagePath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
            result.Account = config->lpServiceStartName ? config->lpServiceStartName : L"";
            result.DisplayName = config->lpDisplayName ? config->lpDisplayName : L"";
        }
        auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
        if (QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                 static_cast<DWORD>(buffer.size()), &needed) &&
            description->lpDescription)
            result.Description = description->lpDescription;
        CloseServiceHandle(service);
    }
    if (manager)
        CloseServiceHandle(manager);
    return result;
}

// After DeleteService the name stays until the manager lets go of it.
bool WaitServiceGone(DWORD limitMs = 15000) {
    for (DWORD waited = 0;; waited += 100) {
        const ServiceConfig config = QueryConfig();
        if (!config.Found && config.Error == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        if (waited >= limitMs)
            return false;
        Sleep(100);
    }
}

std::wstring Installed(const wchar_t* file) { return kInstallDir + L"\\" + file; }
bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string InstalledFileVersion(const wchar_t* file) {
    const package_test::FileVersion read = package_test::ReadFileVersion(Installed(file));
    return read.Error ? "<error " + std::to_string(read.Error) + ">" : Narrow(package_test::FixedFileVersion(read));
}

// The verbose log as text: Windows Installer writes UTF-16, Wine ASCII.
std::string ReadLog(const std::wstring& path) {
    std::ifstream stream(Narrow(path), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::string text;
    for (char c : bytes)
        if (c != '\0')
            text += c;
    return text;
}

std::string Tail(const std::string& text, size_t length = 3000) {
    return text.size() > length ? text.substr(text.size() - length) : text;
}

class Package : public ::testing::Test {
protected:
    void SetUp() override {
        m_Logs = e2e::FreshDirectory(L"package-logs");
        Clean();
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTraceKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const wchar_t value[] = L"set by the operator";
        RegSetValueExW(key, kMarker, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value);
        RegCloseKey(key);
        ASSERT_EQ(TraceMarker(), L"set by the operator");
    }

    // Whatever a failed step left: both products, a service registered by
    // hand, the test's trace configuration.
    void TearDown() override {
        Clean();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTraceKey);
    }

    void Clean() {
        for (const std::wstring* package : {&kNext, &kCurrent})
            if (!ProgramEntries().empty())
                e2e::Run(L"msiexec.exe /x \"" + *package + L"\" /qn", kMsiexecLimitMs);
        if (QueryConfig().Found)
            e2e::Diagctl(L"uninstall");
        WaitServiceGone();
    }

    // msiexec with /qn and a verbose log of the step's own; its exit code.
    DWORD Msiexec(const std::wstring& action, const std::wstring& package, const std::wstring& step) {
        m_Log = m_Logs + L"\\" + step + L".log";
        const ProcessResult run =
            e2e::Run(L"msiexec.exe " + action + L" \"" + package + L"\" /qn /l*v \"" + m_Log + L"\"", kMsiexecLimitMs);
        EXPECT_TRUE(run.Started);
        return run.ExitCode;
    }
    std::string Log() const { return Tail(ReadLog(m_Log)); }

    ProcessResult InstalledDiagctl(const std::wstring& arguments) {
        return e2e::Run(L"\"" + Installed(L"diagctl.exe") + L"\" " + arguments);
    }

    std::wstring m_Logs;
    std::wstring m_Log;
};

TEST_F(Package, InstallsUpgradesInPlaceRefusesADowngradeAndUninstallsKeepingTheTraceConfiguration) {
    // Install: 0, not 3010 (a restart needed).
    ASSERT_EQ(Msiexec(L"/i", kCurrent, L"install"), 0u) << Log();
    EXPECT_FALSE(ReadLog(m_Log).empty()) << "no verbose log";
    for (const wchar_t* file : {L"ReRiruRuvazor.exe", L"VqError.dll", L"diagctl.exe"})
        EXPECT_EQ(InstalledFileVersion(file), VQ_VERSION) << Narrow(file);

    const ServiceConfig config = QueryConfig();
    ASSERT_TRUE(config.Found) << "error " << config.Error;
    EXPECT_EQ(config.Type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.Start, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.ErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.Account, L"LocalSystem");
    EXPECT_EQ(config.DisplayName, L"ReRiruRuvazor diagnostic collector");
    EXPECT_EQ(Narrow(config.Description).rfind("Carries out collection steps for the product's diagnostic tool", 0),
              0u)
        << Narrow(config.Description);
    // Windows Installer quotes the key file's path; Wine's msiexec does not.
    const std::wstring exe = Installed(L"ReRiruRuvazor.exe");
    EXPECT_TRUE(config.ImagePath == L"\"" + exe + L"\"" || config.ImagePath == exe) << Narrow(config.ImagePath);
    EXPECT_EQ(ProgramEntries(), std::vector<std::wstring>{Widen(VQ_VERSION)});
    EXPECT_EQ(TraceMarker(), L"set by the operator");

    // diagctl status names the weakness exactly when the stored path is unquoted.
    const ProcessResult status = InstalledDiagctl(L"status");
    const bool warned = status.Output.find("unquoted service path weakness") != std::string::npos &&
                        status.Output.find("C:\\Program.exe") != std::string::npos;
    EXPECT_EQ(warned, config.ImagePath[0] != L'"') << status.Output;

    // The installed service carries out a real export.
    const std::wstring exportDir = e2e::FreshDirectory(L"package-export");
    const std::wstring exported = exportDir + L"\\wine.reg";
    const ProcessResult session =
        InstalledDiagctl(L"session export \"HKLM\\Software\\Wine=" + exported + L"\"");
    EXPECT_EQ(session.ExitCode, 0u) << session.Output;
    std::ifstream file(Narrow(exported), std::ios::binary);
    char bom[2] = {};
    file.read(bom, 2);
    EXPECT_EQ(static_cast<unsigned char>(bom[0]), 0xFF) << session.Output;
    EXPECT_EQ(static_cast<unsigned char>(bom[1]), 0xFE);

    // A newer package replaces the older in place.
    ASSERT_EQ(Msiexec(L"/i", kNext, L"upgrade"), 0u) << Log();
    EXPECT_EQ(ProductServices(), 1);
    for (const wchar_t* file : {L"ReRiruRuvazor.exe", L"VqError.dll", L"diagctl.exe"})
        EXPECT_EQ(InstalledFileVersion(file), VQ_NEXT_VERSION) << Narrow(file);
    EXPECT_EQ(InstalledDiagctl(L"--version").Output.find(std::string("diagctl ") + VQ_NEXT_VERSION), 0u);
    EXPECT_EQ(ProgramEntries(), std::vector<std::wstring>{Widen(VQ_NEXT_VERSION)});
    EXPECT_EQ(QueryConfig().DisplayName, L"ReRiruRuvazor diagnostic collector");
    EXPECT_EQ(TraceMarker(), L"set by the operator");

    // An older package stops at its launch condition and changes nothing.
    // Windows Installer shows and logs the condition's text; Wine's msiexec
    // only ends with 1603 (the text is checked in the package itself).
    EXPECT_EQ(Msiexec(L"/i", kCurrent, L"downgrade"), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    const std::string refused = ReadLog(m_Log);
    EXPECT_NE(refused.find("LaunchConditions"), std::string::npos) << Tail(refused);
    EXPECT_EQ(refused.find("InstallFiles"), std::string::npos) << Tail(refused);
    EXPECT_EQ(InstalledFileVersion(L"ReRiruRuvazor.exe"), VQ_NEXT_VERSION);
    EXPECT_EQ(ProgramEntries(), std::vector<std::wstring>{Widen(VQ_NEXT_VERSION)});

    // Removal takes the service, the files and the entry, and leaves the
    // trace configuration.
    ASSERT_EQ(Msiexec(L"/x", kNext, L"uninstall"), 0u) << Log();
    EXPECT_TRUE(WaitServiceGone());
    for (const wchar_t* file : {L"ReRiruRuvazor.exe", L"VqError.dll", L"diagctl.exe"})
        EXPECT_FALSE(Exists(Installed(file))) << Narrow(file);
    EXPECT_TRUE(ProgramEntries().empty());
    EXPECT_EQ(TraceMarker(), L"set by the operator");
}

}  // namespace
