#include "session.h"

#include "base/VqOwners.h"
#include "console.h"
#include "errortext.h"
#include "request.h"
#include "scm.h"
#include "usage.h"

namespace diagctl {
namespace {

// One request's reply; an export of a large key takes seconds.
constexpr DWORD kReplyWaitMs = 120000;
// The service reports STOP_PENDING right after the reply that ends it.
constexpr DWORD kLeaveRunningWaitMs = 5000;
// A stop may wait for a request in progress (at most 5 s) and its reports.
constexpr DWORD kStopWaitMs = 30000;

bool ParseRequests(const CommandLine& line, std::vector<Request>& requests, RequestError& error) {
    size_t at = 0;
    while (at < line.Arguments.size()) {
        const std::wstring& verb = line.Arguments[at++];
        if (verb != L"export" && verb != L"raw") {
            error.Message = L"\"" + verb + L"\" is no session request (export, raw)";
            return false;
        }
        Request request;
        if (!ParseRequest(verb, line.Arguments, at, true, line.AllowUntrustedTarget, request, error))
            return false;
        requests.push_back(std::move(request));
    }
    return true;
}

// Waits for STOPPED, prints how the service ended and returns code, or the
// failure's code when the manager does not answer.
int ReportEnd(SC_HANDLE manager, int code) {
    SERVICE_STATUS_PROCESS status{};
    if (!WaitStopped(manager, kStopWaitMs, status))
        return ReportFailure(L"QueryServiceStatusEx", GetLastError());
    PrintStatus(status);
    return code;
}

// The channel failed under a request (no reply in time, or the wait
// broke): nothing more is posted there, since a late reply would pass for
// the next request's. The service would run on, on a channel that nobody
// holds once the session has ended, so it is stopped.
int EndOnBrokenChannel(SC_HANDLE manager, int code) {
    Err(L"diagctl: the session ends here: nothing more is posted on a channel whose request got no reply; "
        L"the service is stopped\n");
    ScHandle service = OpenProductService(manager, SERVICE_STOP);
    SERVICE_STATUS stopping{};
    if (!service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &stopping)) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE)  // it may have ended by itself meanwhile
            ReportFailure(L"ControlService(STOP)", error);
    }
    return ReportEnd(manager, code);
}

// The service's process, so that a post notices at once when it ends; null
// when it cannot be opened (the status check still notices a stop).
VqBase::UniqueHandle OpenServiceProcess(SC_HANDLE manager) {
    SERVICE_STATUS_PROCESS status{};
    if (!QueryStatus(manager, status) || status.dwProcessId == 0)
        return VqBase::UniqueHandle();
    return VqBase::UniqueHandle(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
}

// A service that has stopped, or whose status cannot be read any more, will
// not answer the request it was given.
bool ServiceGone(SC_HANDLE manager) {
    SERVICE_STATUS_PROCESS status{};
    return !QueryStatus(manager, status) || status.dwCurrentState == SERVICE_STOPPED;
}

int EndWithoutReply(SC_HANDLE manager, const std::wstring& request) {
    Out(L"the service ended during " + request + L" without a reply; nothing more is posted\n");
    return ReportEnd(manager, diagproto::kExitFailed);
}

bool IsRequestOutcome(int code) {
    return code == diagproto::kExitSuccess || code == diagproto::kExitRefused || code == diagproto::kExitFailed;
}

}  // namespace

int RunSession(const CommandLine& line) {
    std::vector<Request> requests;
    RequestError error;
    if (!ParseRequests(line, requests, error))
        return ReportRequestError(line.Verb, error);
    const DWORD timeoutMs = line.TimeoutMs.value_or(kReplyWaitMs);

    const ChannelNames names = ProductChannelNames();
    std::wstring message;
    Channel::CreateError kind = Channel::CreateError::None;
    const auto channel = Channel::Create(names, line.SectionSize.value_or(kDefaultSectionSize), message, &kind);
    if (!channel) {
        const DWORD error = GetLastError();
        return ReportChannelFailure(names, message, kind, error);
    }
    for (const Request& request : requests)
        if (request.Bytes.size() > channel->Size())
            return UsageError(line.Verb, L"a request needs " + std::to_wstring(request.Bytes.size()) +
                                             L" bytes; the section holds " + std::to_wstring(channel->Size()));

    ScHandle manager = OpenManager();
    if (!manager)
        return ReportFailure(L"OpenSCManager", GetLastError());
    if (const int started = StartAndReport(manager.get(), {}); started != diagproto::kExitSuccess)
        return started;
    const auto process = OpenServiceProcess(manager.get());
    const ServerWatch watch{process.get(), [&manager] { return ServiceGone(manager.get()); }};
    PostResult posted = PostResult::Replied;

    // A request's own failure (a missing key) is shown in its reply and
    // decides the exit code; the session ends early only when the service
    // ends or the channel fails.
    int outcome = diagproto::kExitSuccess;
    for (size_t i = 0; i < requests.size(); ++i) {
        SERVICE_STATUS_PROCESS status{};
        if (!QueryStatus(manager.get(), status))
            return ReportFailure(L"QueryServiceStatusEx", GetLastError());
        if (status.dwCurrentState != SERVICE_RUNNING) {
            Out(L"the service is no longer running; request " + std::to_wstring(i + 1) + L" is not posted\n");
            return ReportEnd(manager.get(), diagproto::kExitFailed);
        }
        Out(L"request " + std::to_wstring(i + 1) + L":\n");
        diagproto::Reply reply;
        const int result = RunRequest(*channel, requests[i], timeoutMs, &reply, &watch, &posted);
        if (posted == PostResult::ServerEnded)
            return EndWithoutReply(manager.get(), L"request " + std::to_wstring(i + 1));
        if (!IsRequestOutcome(result))
            return EndOnBrokenChannel(manager.get(), result);
        if (outcome == diagproto::kExitSuccess)
            outcome = result;
        // The service ends after a request it could not carry out; nothing
        // is posted to a service that has ended.
        if (reply.ResultCode != 0 && WaitWhile(manager.get(), SERVICE_RUNNING, kLeaveRunningWaitMs, status) &&
            status.dwCurrentState != SERVICE_RUNNING) {
            Out(L"the service ended after request " + std::to_wstring(i + 1) + L"; Quit is not posted\n");
            return ReportEnd(manager.get(), outcome);
        }
    }

    Request quit;
    quit.WorkType = diagproto::kWorkTypeQuit;
    quit.Bytes = diagproto::EncodeQuit();
    Out(L"Quit:\n");
    const int quitResult = RunRequest(*channel, quit, timeoutMs, nullptr, &watch, &posted);
    if (posted == PostResult::ServerEnded)
        return EndWithoutReply(manager.get(), L"Quit");
    if (!IsRequestOutcome(quitResult))
        return EndOnBrokenChannel(manager.get(), quitResult);
    SERVICE_STATUS_PROCESS status{};
    if (!WaitStopped(manager.get(), kStopWaitMs, status))
        return ReportFailure(L"QueryServiceStatusEx", GetLastError());
    PrintStatus(status);
    if (outcome != diagproto::kExitSuccess)
        return outcome;
    const bool clean = status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode == 0 &&
                       status.dwServiceSpecificExitCode == 0;
    return clean ? diagproto::kExitSuccess : diagproto::kExitFailed;
}

}  // namespace diagctl
