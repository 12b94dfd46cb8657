// diagctl's side of the service control manager.
#include "scm.h"

#include <chrono>
#include <thread>

#include "common/winapi_wrappers.h"
#include "console.h"
#include "diagproto.h"
#include "errortext.h"
#include "executable.h"
#include "installed.h"
#include "package_steps.h"
#include "paths.h"
#include "processes.h"
#include "service_security.h"
#include "status_text.h"
#include "usage.h"

namespace diagctl {
namespace {

constexpr wchar_t kServiceExe[] = L"ReRiruRuvazor.exe";
constexpr wchar_t kDisplayName[] = L"ReRiruRuvazor diagnostic collector";
constexpr wchar_t kDescription[] =
    L"Carries out collection steps for the product's diagnostic tool, above all exporting registry keys with "
    L"reg.exe, over a shared section that the tool creates before it starts the service.";

// A stop may wait for a request in progress (at most 5 s) and its reports.
constexpr DWORD kStopWaitMs = 30000;
// After DeleteService the name stays until the service's process has gone.
constexpr DWORD kDeleteWaitMs = 15000;

ServiceFacts FactsOfCodes(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode, DWORD processId) {
    ServiceFacts facts;
    facts.State = state;
    facts.Win32ExitCode = win32ExitCode;
    facts.ServiceExitCode = serviceExitCode;
    facts.Win32ExitText = ErrorText(win32ExitCode);
    facts.ServiceExitText = ErrorText(serviceExitCode);
    if (facts.Win32ExitText.empty())
        facts.Win32ExitText = ExitCodeWords(win32ExitCode, false);
    if (facts.ServiceExitText.empty())
        facts.ServiceExitText = ExitCodeWords(serviceExitCode, true);
    facts.ProcessId = processId;
    return facts;
}


void PrintFacts(const ServiceFacts& facts) { Out(FormatStatus(kServiceName, facts)); }

LSTATUS RegisterEventLogSource(const std::wstring& messages) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0,
                                     KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(messages.c_str()),
                            static_cast<DWORD>((messages.size() + 1) * sizeof(wchar_t)));
    if (status == ERROR_SUCCESS)
        status = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                sizeof(types));
    RegCloseKey(key);
    return status;
}

int Install(const CommandLine& line) {
    if (line.Arguments.size() > 1)
        return UsageError(line.Verb, L"install takes one executable at most");
    std::wstring path = ModuleDirectory() + kServiceExe;
    if (!line.Arguments.empty() && line.Arguments[0].empty())
        return UsageError(line.Verb, L"install takes the path of an executable: \"\" is empty");
    if (!line.Arguments.empty() && !AbsolutePath(line.Arguments[0], path))
        return ReportFailure(L"finding the full path of \"" + line.Arguments[0] + L"\"", GetLastError());
    // The manager takes any path; a wrong one would show only at the start.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return ReportFailure(L"finding the service's executable \"" + path + L"\"", GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return ReportFailure(L"installing the directory \"" + path + L"\" as the service's executable",
                             ERROR_BAD_EXE_FORMAT);

    // The service runs as LocalSystem whatever the file holds: whoever may
    // replace it, or put a DLL beside it, would run as LocalSystem.
    if (const std::wstring reason = JudgeServiceExecutable(path); !reason.empty()) {
        const std::wstring why = L"someone other than LocalSystem, the Administrators, TrustedInstaller and you may "
                                 L"change the service's executable or add to a directory of its path: " + reason;
        if (!line.Force) {
            Err(L"diagctl: refused: " + why + L"\ndiagctl: whoever may change it runs as LocalSystem at the next "
                L"start; install from a directory only administrators may write (under C:\\Program Files), or give "
                L"--force to install there all the same\n");
            return diagproto::kExitUntrustedExecutable;
        }
        Err(L"diagctl: warning: " + why + L"; installed all the same (--force)\n");
    }
    ScHandle manager = OpenManager();
    if (!manager)
        return ReportFailure(L"OpenSCManager", GetLastError());
    // Quoted, so that a path with blanks cannot be read as a shorter program
    // and its arguments.
    const std::wstring binary = L"\"" + path + L"\"";
    ScHandle service(CreateServiceW(manager.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                    binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service)
        return ReportFailure(L"CreateService", GetLastError());
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        const int code = ReportFailure(L"ChangeServiceConfig2 (description)", GetLastError());
        DeleteService(service.get());  // no half-made registration stays behind
        return code;
    }
    if (const DWORD error = DeclareServiceSecurity(service.get()); error != ERROR_SUCCESS) {
        const int code = ReportFailure(L"ChangeServiceConfig2 (required privileges, service SID)", error);
        DeleteService(service.get());
        return code;
    }
    // The event log finds the entries' texts in the message module beside
    // the service, named by its full path.
    const std::wstring messages = path.substr(0, path.find_last_of(L"\\/") + 1) + L"VqError.dll";
    if (const LSTATUS registered = RegisterEventLogSource(messages); registered != ERROR_SUCCESS) {
        const int code = ReportFailure(L"registering the event log source", static_cast<DWORD>(registered));
        DeleteService(service.get());
        return code;
    }
    Out(std::wstring(kServiceName) + L": installed as \"" + kDisplayName + L"\", image path " + binary +
        L"; event log source with the texts of \"" + messages + L"\"\n");
    return diagproto::kExitSuccess;
}

int Uninstall(const CommandLine& line) {
    if (!line.Arguments.empty())
        return UsageError(line.Verb, L"uninstall takes no arguments");
    // Removing the package's registration by hand would leave its files and
    // its entry in Add/Remove Programs, and a package that no longer works.
    if (const std::wstring product = ReadInstalledVersions().PackageCode; !product.empty()) {
        const std::wstring why = L"the installer package made this registration (product " + product + L")";
        if (!line.Force) {
            Err(L"diagctl: refused: " + why + L"; remove the package instead: msiexec /x " + product +
                L" (or Add/Remove Programs), or give --force to remove the registration alone\n");
            return diagproto::kExitPackageRegistration;
        }
        Err(L"diagctl: warning: " + why + L"; removing the registration alone (--force): the package's files and "
            L"its Add/Remove Programs entry stay\n");
    }
    ScHandle manager = OpenManager();
    if (!manager)
        return ReportFailure(L"OpenSCManager", GetLastError());
    {
        ScHandle service = OpenProductService(manager.get(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
        if (!service)
            return ReportFailure(L"OpenService", GetLastError());
        SERVICE_STATUS_PROCESS status{};
        if (QueryStatus(manager.get(), status) && status.dwCurrentState != SERVICE_STOPPED) {
            SERVICE_STATUS stopped{};
            if (ControlService(service.get(), SERVICE_CONTROL_STOP, &stopped))
                WaitStopped(manager.get(), line.TimeoutMs.value_or(kStopWaitMs), status);
        }
        if (!DeleteService(service.get()))
            return ReportFailure(L"DeleteService", GetLastError());
    }
    // The name goes only when the service's process has gone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeleteWaitMs);
    while (OpenProductService(manager.get(), SERVICE_QUERY_STATUS)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return ReportFailure(L"removing the registration", ERROR_SERVICE_MARKED_FOR_DELETE);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Gone with the service; one that was never registered is no failure.
    const LSTATUS removed = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND)
        return ReportFailure(L"removing the event log source", static_cast<DWORD>(removed));
    Out(std::wstring(kServiceName) + L": uninstalled\n");
    return diagproto::kExitSuccess;
}

int Start(const CommandLine& line) {
    ScHandle manager = OpenManager();
    if (!manager)
        return ReportFailure(L"OpenSCManager", GetLastError());
    return StartAndReport(manager.get(), line.Arguments, line.TimeoutMs.value_or(kStartWaitMs));
}

int Stop(const CommandLine& line) {
    if (!line.Arguments.empty())
        return UsageError(line.Verb, L"stop takes no arguments");
    ScHandle manager = OpenManager();
    if (!manager)
        return ReportFailure(L"OpenSCManager", GetLastError());
    ScHandle service = OpenProductService(manager.get(), SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service)
        return ReportFailure(L"OpenService", GetLastError());
    SERVICE_STATUS_PROCESS status{};
    SERVICE_STATUS stopping{};
    // A service may end its process as soon as it has reported STOPPED, also
    // while its handler's answer is still on its way (the product's does so
    // when stopped while idle). The manager then fails the control with 109
    // although the stop happened: the status says whether it did.
    DWORD controlError = ERROR_SUCCESS;
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &stopping)) {
        controlError = GetLastError();
        // Scripts call stop to make sure the service is not running; unlike
        // sc.exe (1062), a service that is not running already is success.
        if (controlError == ERROR_SERVICE_NOT_ACTIVE && QueryStatus(manager.get(), status) &&
            status.dwCurrentState == SERVICE_STOPPED) {
            Out(std::wstring(kServiceName) + L": already stopped\n");
            PrintStatus(status);
            return diagproto::kExitSuccess;
        }
        if (controlError != ERROR_BROKEN_PIPE)
            return ReportFailure(L"ControlService(STOP)", controlError);
    }
    if (!WaitStopped(manager.get(), line.TimeoutMs.value_or(kStopWaitMs), status))
        return ReportFailure(L"QueryServiceStatusEx", GetLastError());
    PrintStatus(status);
    if (status.dwCurrentState != SERVICE_STOPPED)
        return controlError != ERROR_SUCCESS ? ReportFailure(L"ControlService(STOP)", controlError)
                                             : ReportFailure(L"waiting for the stop", ERROR_SERVICE_REQUEST_TIMEOUT);
    return diagproto::kExitSuccess;
}

int Control(const CommandLine& line) {
    if (line.Arguments.size() != 1)
        return UsageError(line.Verb, L"control needs one CODE");
    // Codes above 255 do not exist: the system's are below 128, a service's
    // own from 128 to 255.
    const std::optional<DWORD> code = ParseNumber(line.Arguments[0], 1, 255);
    if (!code)
        return UsageError(line.Verb, L"bad control code \"" + line.Arguments[0] +
                                         L"\": a number from 1 to 255, in decimal or 0x-hexadecimal digits, "
                                         L"without a sign");
    ScHandle manager = OpenManager();
    if (!manager)
        return ReportFailure(L"OpenSCManager", GetLastError());
    ScHandle service = OpenProductService(manager.get(), SERVICE_STOP | SERVICE_INTERROGATE |
                                                             SERVICE_USER_DEFINED_CONTROL | SERVICE_PAUSE_CONTINUE |
                                                             SERVICE_QUERY_STATUS);
    if (!service)
        return ReportFailure(L"OpenService", GetLastError());
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), *code, &status))
        return ReportFailure(L"ControlService(" + std::to_wstring(*code) + L")", GetLastError());
    Out(L"control " + std::to_wstring(*code) + L": delivered\n");
    PrintFacts(FactsOfCodes(status.dwCurrentState, status.dwWin32ExitCode, status.dwServiceSpecificExitCode, 0));
    return diagproto::kExitSuccess;
}

int Status(const CommandLine& line) {
    if (!line.Arguments.empty())
        return UsageError(line.Verb, L"status takes no arguments");
    const StatusReport report = ReadStatus();
    if (line.Json)
        OutJson(report.Json.Text());
    if (report.Failed)
        Err(L"diagctl: " + report.Text);
    else
        Out(report.Text);
    return report.ExitCode;
}

struct Command {
    const wchar_t* Verb;
    int (*Run)(const CommandLine&);
};

constexpr Command kCommands[] = {
    {L"install", Install}, {L"uninstall", Uninstall}, {L"start", Start},
    {L"stop", Stop},       {L"control", Control},     {L"status", Status},
};

}  // namespace

ServiceFacts FactsOf(const SERVICE_STATUS_PROCESS& status) {
    return FactsOfCodes(status.dwCurrentState, status.dwWin32ExitCode, status.dwServiceSpecificExitCode,
                        status.dwProcessId);
}

ScHandle::~ScHandle() {
    if (m_Handle)
        CloseServiceHandle(m_Handle);
}

ScHandle OpenManager(DWORD access) { return ScHandle(OpenSCManagerW(nullptr, nullptr, access)); }

ScHandle OpenProductService(SC_HANDLE manager, DWORD access) {
    return ScHandle(OpenServiceW(manager, kServiceName, access));
}

bool QueryStatus(SC_HANDLE manager, SERVICE_STATUS_PROCESS& status) {
    ScHandle service = OpenProductService(manager, SERVICE_QUERY_STATUS);
    DWORD size = 0;
    return service && QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                           sizeof status, &size);
}

bool WaitWhile(SC_HANDLE manager, DWORD pendingState, DWORD limitMs, SERVICE_STATUS_PROCESS& status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (!QueryStatus(manager, status))
            return false;
        if (status.dwCurrentState != pendingState || std::chrono::steady_clock::now() >= deadline)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool WaitStopped(SC_HANDLE manager, DWORD limitMs, SERVICE_STATUS_PROCESS& status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (!QueryStatus(manager, status))
            return false;
        if (status.dwCurrentState == SERVICE_STOPPED || std::chrono::steady_clock::now() >= deadline)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PrintStatus(const SERVICE_STATUS_PROCESS& status) { PrintFacts(FactsOf(status)); }

StatusReport ReadStatus() {
    StatusReport report;
    // A status that could not be read: the message, and an object that says
    // as much.
    auto failed = [&report](const wchar_t* call, DWORD error) {
        report.Failed = true;
        report.Text = FailureMessage(call, error) + L"\n";
        report.ExitCode = diagproto::ExitCodeForError(error);
        report.Json.String(L"kind", L"status")
            .String(L"service", kServiceName)
            .Bool(L"installed", error != ERROR_SERVICE_DOES_NOT_EXIST)
            .Object(L"error", CodeJson(error, ErrorText(error)).String(L"call", call))
            .Number(L"exitCode", static_cast<DWORD>(report.ExitCode));
        return report;
    };
    ScHandle manager = OpenManager(SC_MANAGER_CONNECT);
    if (!manager)
        return failed(L"OpenSCManager", GetLastError());
    ScHandle service = OpenProductService(manager.get(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!service)
        return failed(L"OpenService", GetLastError());
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &size))
        return failed(L"QueryServiceStatusEx", GetLastError());
    ServiceFacts facts = FactsOf(status);
    if (!QueryConfig(service.get(), facts))
        return failed(L"QueryServiceConfig", GetLastError());
    QueryServiceSecurity(service.get(), facts);
    report.Text = FormatStatus(kServiceName, facts);
    if (const std::wstring reason = JudgeServiceExecutable(ImageProgram(facts.ImagePath)); !reason.empty())
        report.Text += L"  warning: someone other than LocalSystem, the Administrators, TrustedInstaller and you may "
                       L"change the service's executable or add to a directory of its path (" + reason +
                       L"): whoever may change it runs as LocalSystem at the next start\n";
    report.Json = StatusJson(kServiceName, facts);
    report.ExitCode = StatusExitCode(facts);
    return report;
}

bool QueryConfig(SC_HANDLE service, ServiceFacts& facts) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return false;
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, needed, &needed))
        return false;
    facts.HasConfig = true;
    facts.StartType = config->dwStartType;
    facts.ImagePath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    facts.DisplayName = config->lpDisplayName ? config->lpDisplayName : L"";
    return true;
}

int StartAndReport(SC_HANDLE manager, const std::vector<std::wstring>& parameters, DWORD limitMs,
                   SERVICE_STATUS_PROCESS* reported) {
    ScHandle service = OpenProductService(manager, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service)
        return ReportFailure(L"OpenService", GetLastError());
    std::vector<const wchar_t*> vector;
    for (const auto& parameter : parameters)
        vector.push_back(parameter.c_str());
    if (!StartServiceW(service.get(), static_cast<DWORD>(vector.size()), vector.empty() ? nullptr : vector.data()))
        return ReportFailure(L"StartService", GetLastError());
    SERVICE_STATUS_PROCESS status{};
    if (!WaitWhile(manager, SERVICE_START_PENDING, limitMs, status))
        return ReportFailure(L"QueryServiceStatusEx", GetLastError());
    PrintStatus(status);
    if (reported != nullptr)
        *reported = status;
    return diagproto::kExitSuccess;
}

std::wstring ChannelHolderHint() {
    ScHandle manager = OpenManager(SC_MANAGER_CONNECT);
    SERVICE_STATUS_PROCESS status{};
    if (!manager || !QueryStatus(manager.get(), status) || status.dwCurrentState == SERVICE_STOPPED)
        return std::wstring();
    const std::wstring service = L"the installed service " + std::wstring(kServiceName) + L" (" +
                                 Winapi::Service::StateName(status.dwCurrentState) +
                                 (status.dwProcessId ? L", process " + std::to_wstring(status.dwProcessId)
                                                     : std::wstring()) +
                                 L")";
    // The service keeps the objects open while it runs, also after the
    // diagctl that made them has ended; only another diagctl can still post.
    if (const DWORD other = OtherProcessOfThisProgram())
        return service + L" serves the channel of another diagctl (process " + std::to_wstring(other) +
               L"); wait until that one has ended";
    return service + L" still runs on a channel that no diagctl holds any more (left behind when its diagctl "
                     L"ended); \"diagctl stop\" stops it and frees the names";
}

int RefuseWhenNobodyServes() {
    ScHandle manager = OpenManager(SC_MANAGER_CONNECT);
    if (!manager)
        return diagproto::kExitSuccess;  // creating the channel will say what is wrong
    DWORD error = ERROR_SERVICE_NOT_ACTIVE;
    std::wstring reason = L"the service is installed but stopped, and it opens the channel only as it starts";
    std::wstring advice;
    if (ScHandle service = OpenProductService(manager.get(), SERVICE_QUERY_STATUS); !service) {
        if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
            return diagproto::kExitSuccess;
        error = ERROR_SERVICE_DOES_NOT_EXIST;
        reason = L"the service is not installed";
        advice = L"\"diagctl install\", then ";
    } else {
        SERVICE_STATUS_PROCESS status{};
        if (!QueryStatus(manager.get(), status) || status.dwCurrentState != SERVICE_STOPPED)
            return diagproto::kExitSuccess;
    }
    Err(L"diagctl: nobody would answer on the channel of " + std::wstring(kServiceName) + L": " + reason + L": " +
        DescribeError(error) + L"\ndiagctl: run " + advice +
        L"\"diagctl session [REQUEST ...]\": it makes the channel, starts the service, runs each request and "
        L"posts Quit\n");
    return diagproto::ExitCodeForError(error);
}

bool IsServiceVerb(const std::wstring& verb) {
    for (const auto& command : kCommands)
        if (verb == command.Verb)
            return true;
    return false;
}

int RunServiceVerb(const CommandLine& line) {
    for (const auto& command : kCommands)
        if (line.Verb == command.Verb)
            return command.Run(line);
    return UsageError(line.Verb, L"unknown verb \"" + line.Verb + L"\"");
}

}  // namespace diagctl
