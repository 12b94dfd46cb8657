// The Windows Installer package under Wine's msiexec: installed, used, upgraded
// in place, refused as a downgrade and removed, with the operator's trace
// configuration left alone throughout. The packages come from build-packages.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "base/VqOwners.h"
#include "channel.h"
#include "child_process.h"
#include "diagproto.h"
#include "e2e_support.h"
#include "file_version.h"
#include "package_steps.h"

namespace {

using package_test::Narrow;
using package_test::Widen;
using diagctl::ImageProgram;

const std::wstring kInstallDir = L"C:\\Program Files\\ReRiruRuvazor\\";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\ReRiruRuvazor";
constexpr wchar_t kTraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vqcc0\\Trace";
constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\Brenmoor\\Orvanta";
constexpr wchar_t kDumpsKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps\\ReRiruRuvazor.exe";
constexpr wchar_t kOperators[] = L"set by the operator";
const wchar_t* const kFiles[] = {L"ReRiruRuvazor.exe", L"VqError.dll", L"diagctl.exe"};

std::wstring PackagePath(const wchar_t* kind, const char* version) {
    std::wstring path = L"Z:" + Widen(VQ_PACKAGE_WORK) + L"/" + kind + L"/ReRiruRuvazor-" + Widen(version) + L"-x64.msi";
    for (wchar_t& c : path)
        c = c == L'/' ? L'\\' : c;
    return path;
}
const std::wstring kCurrent = PackagePath(L"current", VQ_VERSION);
const std::wstring kNext = PackagePath(L"next", VQ_NEXT_VERSION);

// A value under HKLM as text (a DWORD in decimal); "<absent>" when missing.
const std::wstring kEventSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ReRiruRuvazor";

std::wstring Value(const std::wstring& key, const wchar_t* name) {
    BYTE data[2048] = {};
    DWORD size = sizeof data - sizeof(wchar_t), type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ | RRF_RT_REG_DWORD, &type, data, &size))
        return L"<absent>";
    return type == REG_DWORD ? std::to_wstring(*reinterpret_cast<DWORD*>(data)) : reinterpret_cast<wchar_t*>(data);
}

// DisplayVersion of each Add/Remove Programs entry of the product.
std::vector<std::wstring> ProgramEntries() {
    std::vector<std::wstring> versions;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key))
        return versions;
    wchar_t name[256];
    for (DWORD i = 0, length = 256; !RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
         ++i, length = 256) {
        const std::wstring entry = std::wstring(kUninstallKey) + L"\\" + name;
        if (Value(entry, L"DisplayName") == L"ReRiruRuvazor")
            versions.push_back(Value(entry, L"DisplayVersion"));
    }
    RegCloseKey(key);
    return versions;
}

// The unexpanded text of an expandable string value; empty when there is none.
std::wstring Expandable(const wchar_t* key, const wchar_t* name) {
    wchar_t data[512] = {};
    DWORD size = sizeof data;
    return RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, data, &size)
               ? L""
               : data;
}

// Wine's service manager removes a deleted service's key when it lets go of it.
bool WaitServiceGone() {
    for (int i = 0; i < 150 && Value(kServiceKey, L"Type") != L"<absent>"; ++i)
        Sleep(100);
    return Value(kServiceKey, L"Type") == L"<absent>";
}

std::string InstalledVersion(const wchar_t* file) {
    const package_test::FileVersion read = package_test::ReadFileVersion(kInstallDir + file);
    return read.Error ? "<error " + std::to_string(read.Error) + ">" : Narrow(package_test::FixedFileVersion(read));
}

// Windows Installer logs in UTF-16, Wine in ASCII: the text without NULs.
std::string ReadLog(const std::wstring& path) {
    std::ifstream stream(Narrow(path), std::ios::binary);
    std::string text;
    for (char c; stream.get(c);)
        if (c != '\0')
            text += c;
    return text;
}

class Package : public ::testing::Test {
protected:
    void SetUp() override {
        m_Logs = e2e::FreshDirectory(L"package-logs");
        Clean();
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTraceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
                  0);
        RegSetValueExW(key, L"PackageTestMarker", 0, REG_SZ, reinterpret_cast<const BYTE*>(kOperators),
                       sizeof kOperators);
        RegCloseKey(key);
    }

    // Whatever a failed step left: either product, a service registered by
    // hand, the test's trace configuration.
    void TearDown() override {
        Clean();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTraceKey);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, L"ProductLocale");  // removal leaves it
    }

    void Clean() {
        for (const std::wstring* package : {&kNext, &kCurrent})
            if (!ProgramEntries().empty())
                e2e::Run(L"msiexec.exe /x \"" + *package + L"\" /qn", 120000);
        if (Value(kServiceKey, L"Type") != L"<absent>")
            e2e::Diagctl(L"uninstall --force");
        WaitServiceGone();
    }

    // msiexec /qn with a verbose log of the step's own; its exit code.
    DWORD Msiexec(const std::wstring& action, const std::wstring& package, const std::wstring& step,
                  const std::wstring& properties = L"") {
        m_Log = m_Logs + L"\\" + step + L".log";
        return e2e::Run(L"msiexec.exe " + action + L" \"" + package + L"\" " + properties + L" /qn /l*v \"" + m_Log +
                            L"\"",
                        120000)
            .ExitCode;
    }

    // The text of error 2 in the event log entry of the installed service's
    // start without its channel, as Wine prints the entry where the service
    // manager's output goes, non-ASCII characters as \NNNN (Cyrillic: \04NN).
    std::string ChannelMissingErrorText() {
        const size_t before = e2e::ServicesLog().size();
        InstalledDiagctl(L"start");
        for (int i = 0; i < 100; ++i, Sleep(20)) {
            const std::string log = e2e::ServicesLog();
            const size_t at = log.find("E(00000002) ", before);
            if (at != std::string::npos) return log.substr(at, log.find('\n', at) - at);
        }
        return "<no entry>";
    }

    std::string InstalledDiagctl(const std::wstring& arguments) {
        return e2e::Run(L"\"" + kInstallDir + L"diagctl.exe\" " + arguments).Output;
    }

    std::wstring TraceMarker() { return Value(kTraceKey, L"PackageTestMarker"); }

    // A session of the installed diagctl that exports all of HKLM (seconds of
    // reg.exe), started and left running once its request is posted.
    void StartBusySession(testing_support::Child& session) {
        const std::wstring file = e2e::FreshDirectory(L"package-busy") + L"\\hklm.reg";
        ASSERT_TRUE(session.Start(L"\"" + kInstallDir + L"diagctl.exe\" session export \"HKLM=" + file + L"\""));
        for (int i = 0; i < 300 && session.Output().find("request 1:") == std::string::npos; ++i)
            Sleep(50);
        Sleep(300);  // the service has started reg.exe
    }

    std::wstring m_Logs, m_Log;
};

// Suspends (frozen) or resumes every thread of a process.
bool Freeze(DWORD processId, bool frozen) {
    using Call = LONG(NTAPI*)(HANDLE);
    const auto call = reinterpret_cast<Call>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), frozen ? "NtSuspendProcess" : "NtResumeProcess")));
    const VqBase::UniqueHandle process(OpenProcess(PROCESS_SUSPEND_RESUME, FALSE, processId));
    return call && process && call(process.get()) >= 0;
}

TEST_F(Package, InstallsUpgradesInPlaceRefusesADowngradeAndUninstallsKeepingTheTraceConfiguration) {
    // A PRODUCTLOCALE the service would not take fails the install, with a
    // message, before anything is changed.
    EXPECT_EQ(Msiexec(L"/i", kCurrent, L"bad-locale", L"PRODUCTLOCALE=english"),
              static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_NE(ReadLog(m_Log).find("PRODUCTLOCALE=\"english\" is not a locale name"), std::string::npos);
    EXPECT_TRUE(ProgramEntries().empty());
    EXPECT_EQ(Value(kServiceKey, L"Type"), L"<absent>");
    EXPECT_EQ(Value(kProductKey, L"ProductLocale"), L"<absent>");
    EXPECT_EQ(GetFileAttributesW((kInstallDir + L"diagctl.exe").c_str()), INVALID_FILE_ATTRIBUTES);

    // Installed: 0, not 3010 (a restart needed), with a verbose log.
    ASSERT_EQ(Msiexec(L"/i", kCurrent, L"install"), 0u) << ReadLog(m_Log);
    EXPECT_EQ(Value(kProductKey, L"ProductLocale"), L"<absent>") << "no property, no value";
    EXPECT_EQ(Expandable(kDumpsKey, L"DumpFolder"), L"%ProgramData%\\ReRiruRuvazor\\Dumps");
    EXPECT_EQ(Value(kDumpsKey, L"DumpCount"), L"5");
    EXPECT_EQ(Value(kDumpsKey, L"DumpType"), L"1");  // mini dumps
    const std::string versions = InstalledDiagctl(L"--version");
    EXPECT_NE(versions.find(std::string("\nservice: ") + VQ_VERSION + " (" + Narrow(kInstallDir) + "ReRiruRuvazor.exe)"),
              std::string::npos)
        << versions;
    EXPECT_NE(versions.find(std::string("\npackage: ") + VQ_VERSION + " (product code {"), std::string::npos)
        << versions;
    // Without ProductLocale the service's texts are Russian.
    EXPECT_NE(ChannelMissingErrorText().find("\\04"), std::string::npos);
    EXPECT_NE(ReadLog(m_Log).find("InstallServices"), std::string::npos);
    for (const wchar_t* file : kFiles)
        EXPECT_EQ(InstalledVersion(file), VQ_VERSION) << Narrow(file);
    const struct {
        const wchar_t* Name;
        std::wstring Expected;
    } registration[] = {
        {L"Type", L"16"},  // own process
        {L"Start", L"3"},  // demand
        {L"ErrorControl", L"1"},  // normal
        {L"ObjectName", L"LocalSystem"},
        {L"DisplayName", L"ReRiruRuvazor diagnostic collector"},
    };
    for (const auto& value : registration)
        EXPECT_EQ(Value(kServiceKey, value.Name), value.Expected) << Narrow(value.Name);
    EXPECT_EQ(Value(kServiceKey, L"Description").rfind(L"Carries out collection steps for the product's", 0), 0u);
    // Windows Installer quotes the key file's path; Wine's msiexec does not,
    // and diagctl status names the weakness exactly then.
    const std::wstring imagePath = Value(kServiceKey, L"ImagePath");
    const std::wstring exe = kInstallDir + L"ReRiruRuvazor.exe";
    EXPECT_TRUE(imagePath == L"\"" + exe + L"\"" || imagePath == exe) << Narrow(imagePath);
    const std::string status = InstalledDiagctl(L"status");
    EXPECT_EQ(status.find("Windows tries C:\\Program.exe first (the unquoted service path weakness)") !=
                  std::string::npos,
              imagePath[0] != L'"')
        << status;
    EXPECT_NE(status.find("required privileges: not kept by this platform"), std::string::npos) << status;
    EXPECT_EQ(ProgramEntries(), std::vector<std::wstring>{Widen(VQ_VERSION)});
    EXPECT_EQ(TraceMarker(), kOperators);
    // The package's registration is the package's to remove.
    const e2e::ProcessResult byHand = e2e::Run(L"\"" + kInstallDir + L"diagctl.exe\" uninstall");
    EXPECT_EQ(byHand.ExitCode, static_cast<DWORD>(diagproto::kExitPackageRegistration)) << byHand.Output;
    EXPECT_NE(byHand.Output.find("msiexec /x {"), std::string::npos) << byHand.Output;
    EXPECT_EQ(Value(kServiceKey, L"Type"), L"16");
    // The event log source, with the installed message module's texts.
    EXPECT_EQ(Value(kEventSourceKey, L"EventMessageFile"), kInstallDir + L"VqError.dll");
    EXPECT_EQ(Value(kEventSourceKey, L"TypesSupported"), L"7");

    // The installed service carries out a real export: reg.exe writes UTF-16
    // with a byte-order mark.
    const std::wstring exported = e2e::FreshDirectory(L"package-export") + L"\\wine.reg";
    const e2e::ProcessResult session =
        e2e::Run(L"\"" + kInstallDir + L"diagctl.exe\" session export \"HKLM\\Software\\Wine=" + exported + L"\"");
    EXPECT_EQ(session.ExitCode, 0u) << session.Output;
    std::ifstream file(Narrow(exported), std::ios::binary);
    std::string bom(2, '\0');
    file.read(bom.data(), 2);
    EXPECT_EQ(bom, "\xFF\xFE") << session.Output;

    // A newer package replaces the older in place: one product, one service.
    // PRODUCTLOCALE writes the language of the service's next texts.
    ASSERT_EQ(Msiexec(L"/i", kNext, L"upgrade", L"PRODUCTLOCALE=en-US"), 0u) << ReadLog(m_Log);
    EXPECT_EQ(Value(kProductKey, L"ProductLocale"), L"en-US");
    const std::string english = ChannelMissingErrorText();
    EXPECT_EQ(english.find("\\04"), std::string::npos) << english;  // no Cyrillic
    EXPECT_NE(english, "<no entry>");
    for (const wchar_t* file : kFiles)
        EXPECT_EQ(InstalledVersion(file), VQ_NEXT_VERSION) << Narrow(file);
    EXPECT_EQ(InstalledDiagctl(L"--version").rfind(std::string("diagctl ") + VQ_NEXT_VERSION, 0), 0u);
    EXPECT_EQ(ProgramEntries(), std::vector<std::wstring>{Widen(VQ_NEXT_VERSION)});
    EXPECT_EQ(Value(kServiceKey, L"DisplayName"), L"ReRiruRuvazor diagnostic collector");
    EXPECT_EQ(TraceMarker(), kOperators);

    // An older package stops at its launch condition and changes nothing.
    // Windows Installer shows and logs the condition's text; Wine's msiexec
    // only ends with 1603 (build-packages checks the text in the package).
    EXPECT_EQ(Msiexec(L"/i", kCurrent, L"downgrade"), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    const std::string refused = ReadLog(m_Log);
    EXPECT_NE(refused.find("LaunchConditions"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("InstallFiles"), std::string::npos) << refused;
    EXPECT_EQ(InstalledVersion(L"ReRiruRuvazor.exe"), VQ_NEXT_VERSION);
    EXPECT_EQ(ProgramEntries(), std::vector<std::wstring>{Widen(VQ_NEXT_VERSION)});

    // Removed: the service, the files, the entry and the local dump
    // registration, not the trace configuration, nor the product family's
    // language.
    ASSERT_EQ(Msiexec(L"/x", kNext, L"uninstall"), 0u) << ReadLog(m_Log);
    HKEY dumps = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDumpsKey, 0, KEY_READ, &dumps), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Value(kProductKey, L"ProductLocale"), L"en-US");
    EXPECT_TRUE(WaitServiceGone());
    for (const wchar_t* file : kFiles)
        EXPECT_EQ(GetFileAttributesW((kInstallDir + file).c_str()), INVALID_FILE_ATTRIBUTES) << Narrow(file);
    EXPECT_TRUE(ProgramEntries().empty());
    EXPECT_EQ(Value(kEventSourceKey, L"TypesSupported"), L"<absent>");
    EXPECT_EQ(TraceMarker(), kOperators);
}

// Windows Installer's stop step would return at once under Wine while the
// service still finished its reg.exe: files were queued for a restart and the
// registration lost. The package waits for the service's process first, so
// an upgrade and a removal during a request both end completely.
TEST_F(Package, AnUpgradeAndARemovalDuringARequestWaitForTheServiceAndLeaveNothingBehind) {
    ASSERT_EQ(Msiexec(L"/i", kCurrent, L"install"), 0u) << ReadLog(m_Log);
    const DWORD ended[] = {0u, static_cast<DWORD>(diagproto::kExitFailed)};  // done, or cut short (995)
    {
        testing_support::Child session;
        StartBusySession(session);
        ASSERT_EQ(Msiexec(L"/i", kNext, L"upgrade-busy"), 0u) << ReadLog(m_Log);
        ASSERT_TRUE(session.Wait("the session during the upgrade"));
        EXPECT_TRUE(session.ExitCode() == ended[0] || session.ExitCode() == ended[1]) << session.Output();
    }
    for (const wchar_t* file : kFiles)
        EXPECT_EQ(InstalledVersion(file), VQ_NEXT_VERSION) << Narrow(file);
    EXPECT_EQ(ProgramEntries(), std::vector<std::wstring>{Widen(VQ_NEXT_VERSION)});
    EXPECT_EQ(ImageProgram(Value(kServiceKey, L"ImagePath")), kInstallDir + L"ReRiruRuvazor.exe");

    {
        testing_support::Child session;
        StartBusySession(session);
        ASSERT_EQ(Msiexec(L"/x", kNext, L"uninstall-busy"), 0u) << ReadLog(m_Log);
        ASSERT_TRUE(session.Wait("the session during the removal"));
        EXPECT_TRUE(session.ExitCode() == ended[0] || session.ExitCode() == ended[1]) << session.Output();
    }
    EXPECT_TRUE(WaitServiceGone());
    for (const wchar_t* file : kFiles)
        EXPECT_EQ(GetFileAttributesW((kInstallDir + file).c_str()), INVALID_FILE_ATTRIBUTES) << Narrow(file);
    EXPECT_TRUE(ProgramEntries().empty());
}

// A process of the installed executable that a user holds suspended keeps
// its files in use: the package's step ends it, and the upgrade and the
// removal complete (e2e_service_stop shows what the step says).
TEST_F(Package, AHeldProcessOfTheInstalledExecutableBlocksNeitherAnUpgradeNorARemoval) {
    ASSERT_EQ(Msiexec(L"/i", kCurrent, L"install"), 0u) << ReadLog(m_Log);
    for (const wchar_t* action : {L"/i", L"/x"}) {
        const std::wstring exe = kInstallDir + L"ReRiruRuvazor.exe";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION held{};
        ASSERT_TRUE(CreateProcessW(exe.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                                   &startup, &held));
        EXPECT_EQ(Msiexec(action, kNext, L"held"), 0u) << ReadLog(m_Log);
        EXPECT_EQ(WaitForSingleObject(held.hProcess, 5000), WAIT_OBJECT_0);
        for (HANDLE handle : {held.hThread, held.hProcess}) CloseHandle(handle);
    }
    EXPECT_TRUE(ProgramEntries().empty());
}

// A service that does not stop fails the step within its bound before the
// package changes anything (Wine's msiexec, which undoes nothing, ends with
// 1627, Windows Installer with 1603): the installed version stays whole, and
// once the service answers the same upgrade, later removal, goes through.
// Once per frozen service: at a second control Wine's manager ends it.
TEST_F(Package, AServiceThatDoesNotStopFailsTheStepAndTheInstalledVersionStaysUsable) {
    ASSERT_EQ(Msiexec(L"/i", kCurrent, L"install"), 0u) << ReadLog(m_Log);
    std::wstring message;
    const auto channel = diagctl::Channel::Create(diagctl::ProductChannelNames(), diagctl::kDefaultSectionSize, message);
    ASSERT_TRUE(channel) << Narrow(message);
    for (const auto& [action, version] : {std::pair{L"/i", VQ_VERSION}, std::pair{L"/x", VQ_NEXT_VERSION}}) {
        ASSERT_NE(InstalledDiagctl(L"start").find("RUNNING"), std::string::npos);
        const std::string status = InstalledDiagctl(L"status");
        const auto at = status.find("process id: ");
        ASSERT_NE(at, std::string::npos) << status;
        const DWORD id = std::stoul(status.substr(at + 12));
        ASSERT_TRUE(Freeze(id, true));
        const DWORD code = Msiexec(action, kNext, L"frozen", L"SERVICESTOPTIMEOUT=1000");
        EXPECT_TRUE(code == ERROR_INSTALL_FAILURE || code == ERROR_FUNCTION_FAILED) << code << ReadLog(m_Log);
        EXPECT_EQ(ReadLog(m_Log).find("InstallValidate"), std::string::npos);  // it stopped before
        EXPECT_EQ(ProgramEntries(), std::vector<std::wstring>{Widen(version)});
        EXPECT_EQ(InstalledVersion(L"diagctl.exe"), version);
        Freeze(id, false);
        EXPECT_EQ(Msiexec(action, kNext, L"thawed"), 0u) << ReadLog(m_Log);
    }
    EXPECT_TRUE(ProgramEntries().empty());
}

// A registration made by hand for another executable: the package refuses
// before it changes anything, and the registration stays as it was.
TEST_F(Package, ARegistrationMadeByHandIsRefusedAndLeftAsItWas) {
    const std::wstring byHand = e2e::FreshDirectory(L"package-by-hand") + L"\\ReRiruRuvazor.exe";
    ASSERT_TRUE(e2e::CopyInto(e2e::InBin(L"ReRiruRuvazor.exe"), byHand));
    ASSERT_EQ(e2e::Diagctl(L"install \"" + byHand + L"\"").ExitCode, 0u);
    EXPECT_EQ(Msiexec(L"/i", kCurrent, L"over-by-hand"), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    const std::string refused = ReadLog(m_Log);
    EXPECT_NE(refused.find("LaunchConditions"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("InstallFiles"), std::string::npos) << refused;
    EXPECT_EQ(Value(kServiceKey, L"ImagePath"), L"\"" + byHand + L"\"");
    EXPECT_EQ(GetFileAttributesW((kInstallDir + L"ReRiruRuvazor.exe").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(ProgramEntries().empty());
}

}  // namespace
