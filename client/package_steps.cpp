#include "package_steps.h"

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "VqErrorCodes.h"
#include "base/VqEventLog.h"
#include "common/winapi_wrappers.h"
#include "console.h"
#include "diagproto.h"
#include "errortext.h"
#include "processes.h"
#include "scm.h"
#include "service_security.h"
#include "usage.h"

namespace diagctl {
namespace {

using Clock = std::chrono::steady_clock;

DWORD MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

// Waits until every process in processes has ended, up to deadline; false
// when one still runs then.
bool WaitEnded(const std::vector<VqBase::UniqueHandle>& processes, Clock::time_point deadline) {
    for (const auto& process : processes)
        if (WaitForSingleObject(process.get(), MsLeft(deadline)) != WAIT_OBJECT_0)
            return false;
    return true;
}

// An installer runs the step with no console anyone reads: what it did goes
// to the Application event log as well (the source is the installed one).
void Report(DWORD id, const std::vector<std::wstring>& strings) {
    VqBase::CEventLog log;
    log.Report(id, {}, strings);
}

// Its exit code fails the package (the step is checked), before anything changed.
int FailTheStep(const std::wstring& why) {
    Err(L"diagctl: " + why + L"; the package stops here and leaves the installed version as it is\n");
    Report(VqMessages::VQ_EVENT_PACKAGE_STOP_FAILED, {why});
    return static_cast<int>(ERROR_SERVICE_REQUEST_TIMEOUT);
}

// The answer to the STOP control, which the manager gives only when the
// service's handler has returned (Windows waits up to 30 s for it, Wine 10 s).
struct ControlAnswer {
    VqBase::UniqueHandle Done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    DWORD Error = ERROR_SUCCESS;  // written before Done is set
};

// Sends STOP on a thread of its own, so that a handler that never answers
// cannot hold the step past its bound.
std::shared_ptr<ControlAnswer> SendStop(SC_HANDLE service) {
    auto answer = std::make_shared<ControlAnswer>();
    auto owned = std::make_shared<ScHandle>(service);
    std::thread([answer, owned] {
        SERVICE_STATUS status{};
        if (!ControlService(owned->get(), SERVICE_CONTROL_STOP, &status)) answer->Error = GetLastError();
        SetEvent(answer->Done.get());
    }).detach();
    return answer;
}

// A control answer that does not mean the stop failed: the handler has not
// answered in time (the stop may still come), the service stopped meanwhile,
// or it ended inside its handler and the manager lost the answer.
bool StopMayStillCome(DWORD error) {
    return error == ERROR_SUCCESS || error == ERROR_SERVICE_REQUEST_TIMEOUT || error == ERROR_SERVICE_NOT_ACTIVE ||
           error == ERROR_BROKEN_PIPE;
}

// Before the package replaces or removes the files: the service's process has
// ended and no other process runs its executable, or the package fails.
int PackageStop(const CommandLine& line) {
    if (!line.Arguments.empty())
        return UsageError(line.Verb, L"package-stop takes no arguments");
    const DWORD limitMs = line.TimeoutMs.value_or(kPackageStopWaitMs);
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    const std::wstring within = L" within " + std::to_wstring(limitMs) + L" ms";
    // Only as much access as each part needs: a service that is stopped needs
    // no right to stop it.
    ScHandle manager = OpenManager(SC_MANAGER_CONNECT);
    if (!manager)
        return ReportFailure(L"OpenSCManager", GetLastError());
    ScHandle service = OpenProductService(manager.get(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!service) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST)
            return ReportFailure(L"OpenService", error);
        Out(std::wstring(kServiceName) + L": not installed, nothing to stop\n");
        return diagproto::kExitSuccess;
    }
    ServiceFacts facts;
    if (!QueryConfig(service.get(), facts))
        return ReportFailure(L"QueryServiceConfig", GetLastError());
    const std::wstring program = ImageProgram(facts.ImagePath);

    // The process id comes first: once the service has reported STOPPED the
    // manager answers 0, and its process may still be finishing.
    SERVICE_STATUS_PROCESS status{};
    if (!QueryStatus(manager.get(), status))
        return ReportFailure(L"QueryServiceStatusEx", GetLastError());
    const DWORD processId = status.dwProcessId;
    VqBase::UniqueHandle process(processId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, processId) : nullptr);
    std::shared_ptr<ControlAnswer> answer;
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
        const SC_HANDLE stopper = OpenServiceW(manager.get(), kServiceName, SERVICE_STOP);
        if (stopper == nullptr)
            return ReportFailure(L"OpenService (to stop the service; the package needs an elevated prompt)",
                                 GetLastError());
        answer = SendStop(stopper);
    }
    const std::wstring serviceName =
        std::wstring(kServiceName) + (processId != 0 ? L" (process " + std::to_wstring(processId) + L")" : std::wstring());
    if (process) {
        for (;;) {
            const HANDLE waits[] = {process.get(), answer ? answer->Done.get() : process.get()};
            const DWORD waited = WaitForMultipleObjects(answer ? 2 : 1, waits, FALSE, MsLeft(deadline));
            if (waited == WAIT_OBJECT_0)
                break;
            if (waited == WAIT_OBJECT_0 + 1) {
                if (!StopMayStillCome(answer->Error))
                    return FailTheStep(FailureMessage(L"ControlService(STOP) of " + serviceName, answer->Error));
                answer.reset();
                continue;
            }
            QueryStatus(manager.get(), status);
            return FailTheStep(serviceName + L" has not stopped" + within + L" (still " +
                               Winapi::Service::StateName(status.dwCurrentState) + L")");
        }
    } else if (!WaitStopped(manager.get(), MsLeft(deadline), status) || status.dwCurrentState != SERVICE_STOPPED) {
        // Wine's manager, once it has ended a service that did not answer a
        // control, goes on reporting it RUNNING with no process: what the
        // step guards, that nothing runs the executable, holds then.
        if (status.dwProcessId != 0 || !ProcessesRunning(program).empty())
            return FailTheStep(serviceName + L" has not stopped" + within + L" (still " +
                               Winapi::Service::StateName(status.dwCurrentState) + L")");
        Out(std::wstring(kServiceName) + L": the service control manager reports " +
            Winapi::Service::StateName(status.dwCurrentState) + L" but no process of it runs\n");
    }

    // The service's process has ended: whatever still runs its executable is
    // not the service (without the channel it would have ended at once, so
    // someone holds it, suspended perhaps) and would keep the files in use.
    std::vector<VqBase::UniqueHandle> others = ProcessesRunning(program, PROCESS_TERMINATE);
    std::wstring ended;
    for (const auto& other : others) {
        const DWORD id = GetProcessId(other.get());
        if (!TerminateProcess(other.get(), ERROR_OPERATION_ABORTED) && WaitForSingleObject(other.get(), 0) != WAIT_OBJECT_0)
            return FailTheStep(FailureMessage(L"ending process " + std::to_wstring(id) + L" of \"" + program + L"\"",
                                              GetLastError()));
        ended += (ended.empty() ? L"" : L", ") + std::to_wstring(id);
    }
    if (!ended.empty()) {
        Out(std::wstring(kServiceName) + L": ended processes of \"" + program + L"\" that were not the service: " +
            ended + L"\n");
        Report(VqMessages::VQ_EVENT_PACKAGE_ENDED_PROCESSES, {program, ended});
    }
    if (!WaitEnded(others, deadline))
        return FailTheStep(L"processes of \"" + program + L"\" (" + ended + L") have not ended" + within);
    Out(std::wstring(kServiceName) + L": stopped, and no process runs \"" + program + L"\"\n");
    return diagproto::kExitSuccess;
}

// After the package has registered the service: what the manager keeps of its
// security, as diagctl install declares it.
int PackageConfigure(const CommandLine& line) {
    if (!line.Arguments.empty())
        return UsageError(line.Verb, L"package-configure takes no arguments");
    ScHandle manager = OpenManager(SC_MANAGER_CONNECT);
    if (!manager)
        return ReportFailure(L"OpenSCManager", GetLastError());
    ScHandle service = OpenProductService(manager.get(), SERVICE_CHANGE_CONFIG);
    if (!service)
        return ReportFailure(L"OpenService", GetLastError());
    bool kept = false;
    if (const DWORD error = DeclareServiceSecurity(service.get(), &kept); error != ERROR_SUCCESS)
        return ReportFailure(L"ChangeServiceConfig2 (required privileges, service SID)", error);
    if (kept) Out(std::wstring(kServiceName) + L": required privileges and service SID declared\n");
    return diagproto::kExitSuccess;
}

}  // namespace

std::wstring ImageProgram(const std::wstring& imagePath) {
    if (imagePath.empty() || imagePath[0] != L'"')
        return imagePath;
    const auto close = imagePath.find(L'"', 1);
    return imagePath.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
}

bool IsPackageStep(const std::wstring& verb) { return verb == L"package-stop" || verb == L"package-configure"; }

int RunPackageStep(const CommandLine& line) {
    return line.Verb == L"package-configure" ? PackageConfigure(line) : PackageStop(line);
}

}  // namespace diagctl
