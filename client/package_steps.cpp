#include "package_steps.h"

#include <chrono>
#include <vector>

#include "common/winapi_wrappers.h"
#include "console.h"
#include "diagproto.h"
#include "errortext.h"
#include "processes.h"
#include "scm.h"
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

// Its exit code fails the package (the step is checked), before anything changed.
int FailTheStep(const std::wstring& why) {
    Err(L"diagctl: " + why + L"; the package stops here and leaves the installed version as it is\n");
    return static_cast<int>(ERROR_SERVICE_REQUEST_TIMEOUT);
}

// Before the package replaces or removes the files: the service is stopped
// and no process runs its executable any more, or the package fails.
int PackageStop(const CommandLine& line) {
    if (!line.Arguments.empty())
        return UsageError(line.Verb, L"package-stop takes no arguments");
    const DWORD limitMs = line.TimeoutMs.value_or(kPackageStopWaitMs);
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    ScHandle manager = OpenManager();
    if (!manager)
        return ReportFailure(L"OpenSCManager", GetLastError());
    ScHandle service = OpenProductService(manager.get(), SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
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

    SERVICE_STATUS_PROCESS status{};
    if (!QueryStatus(manager.get(), status))
        return ReportFailure(L"QueryServiceStatusEx", GetLastError());
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != SERVICE_STOP_PENDING) {
        SERVICE_STATUS stopping{};
        // 1062: it stopped meanwhile; 109: it ended inside its handler, and
        // the manager lost the answer (see diagctl stop).
        if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &stopping) &&
            GetLastError() != ERROR_SERVICE_NOT_ACTIVE && GetLastError() != ERROR_BROKEN_PIPE)
            return ReportFailure(L"ControlService(STOP)", GetLastError());
    }
    if (!WaitStopped(manager.get(), MsLeft(deadline), status))
        return ReportFailure(L"QueryServiceStatusEx", GetLastError());
    const std::wstring within = L" within " + std::to_wstring(limitMs / 1000) + L" s";
    if (status.dwCurrentState != SERVICE_STOPPED)
        return FailTheStep(std::wstring(kServiceName) + L" has not stopped" + within + L" (still " +
                            Winapi::Service::StateName(status.dwCurrentState) + L")");
    // STOPPED is reported before the process has ended, and a request in
    // progress can outlast the report by seconds.
    const std::wstring program = ImageProgram(facts.ImagePath);
    if (!WaitEnded(ProcessesRunning(program), deadline))
        return FailTheStep(std::wstring(kServiceName) + L" reported STOPPED, but its process (\"" + program +
                            L"\") has not ended" + within);
    Out(std::wstring(kServiceName) + L": stopped, and no process runs \"" + program + L"\"\n");
    return diagproto::kExitSuccess;
}

}  // namespace

std::wstring ImageProgram(const std::wstring& imagePath) {
    if (imagePath.empty() || imagePath[0] != L'"')
        return imagePath;
    const auto close = imagePath.find(L'"', 1);
    return imagePath.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
}

bool IsPackageStep(const std::wstring& verb) { return verb == L"package-stop"; }

int RunPackageStep(const CommandLine& line) { return PackageStop(line); }

}  // namespace diagctl
