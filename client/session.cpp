#include "session.h"

#include "base/VqOwners.h"
#include "console.h"
#include "errortext.h"
#include "json.h"
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
        const std::wstring& given = line.Arguments[at++];
        const std::wstring verb = SameName(given, L"export") ? L"export" : SameName(given, L"raw") ? L"raw" : L"";
        if (verb.empty()) {
            error.Message = L"\"" + given + L"\" is no session request (export, raw)";
            return false;
        }
        Request request;
        if (!ParseRequest(verb, line.Arguments, at, true, line.AllowUntrustedTarget, request, error))
            return false;
        requests.push_back(std::move(request));
    }
    return true;
}

// What the session did, as one JSON object of the kind "session" for
// --json: the status after the start, each reply, the notes and the end.
class SessionReport {
public:
    void Started(const SERVICE_STATUS_PROCESS& status) { m_Started = StatusJson(kServiceName, FactsOf(status)).Text(); }
    void Ended(const SERVICE_STATUS_PROCESS& status) { m_End = StatusJson(kServiceName, FactsOf(status)).Text(); }
    void Replied(const JsonObject& reply) { m_Requests.push_back(reply.Text()); }
    void Quit(const JsonObject& reply) { m_Quit = reply.Text(); }
    // A line of the session's own, in the text and in the notes.
    void Note(const std::wstring& text) {
        Out(text + L"\n");
        m_Notes.push_back(text);
    }
    std::wstring Json(int exitCode) const {
        return JsonObject()
            .String(L"kind", L"session")
            .Raw(L"started", m_Started)
            .Raw(L"requests", JsonArray(m_Requests))
            .Raw(L"quit", m_Quit)
            .Raw(L"notes", JsonStrings(m_Notes))
            .Raw(L"end", m_End)
            .Number(L"exitCode", static_cast<DWORD>(exitCode))
            .Text();
    }

private:
    std::wstring m_Started = L"null", m_Quit = L"null", m_End = L"null";
    std::vector<std::wstring> m_Requests, m_Notes;
};

// Waits for STOPPED, prints how the service ended (into ended, when given)
// and returns code, or the failure's code when the manager does not answer.
int ReportEnd(SC_HANDLE manager, int code, SessionReport& report, SERVICE_STATUS_PROCESS* ended = nullptr) {
    SERVICE_STATUS_PROCESS status{};
    if (!WaitStopped(manager, kStopWaitMs, status))
        return ReportFailure(L"QueryServiceStatusEx", GetLastError());
    PrintStatus(status);
    report.Ended(status);
    if (ended != nullptr)
        *ended = status;
    return code;
}

// The channel failed under a request (no reply in time, or the wait
// broke): nothing more is posted there, since a late reply would pass for
// the next request's. The service would run on, on a channel that nobody
// holds once the session has ended, so it is stopped.
int EndOnBrokenChannel(SC_HANDLE manager, int code, SessionReport& report) {
    Err(L"diagctl: the session ends here: nothing more is posted on a channel whose request got no reply; "
        L"the service is stopped\n");
    ScHandle service = OpenProductService(manager, SERVICE_STOP);
    SERVICE_STATUS stopping{};
    if (!service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &stopping)) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE)  // it may have ended by itself meanwhile
            ReportFailure(L"ControlService(STOP)", error);
    }
    return ReportEnd(manager, code, report);
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

int EndWithoutReply(SC_HANDLE manager, const std::wstring& request, SessionReport& report) {
    report.Note(L"the service ended during " + request + L" without a reply; nothing more is posted");
    return ReportEnd(manager, diagproto::kExitFailed, report);
}

bool IsRequestOutcome(int code) {
    return code == diagproto::kExitSuccess || code == diagproto::kExitRefused || code == diagproto::kExitFailed;
}

int Run(const CommandLine& line, const std::vector<Request>& requests, SessionReport& report) {
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
    SERVICE_STATUS_PROCESS started{};
    if (const int code = StartAndReport(manager.get(), {}, kStartWaitMs, &started); code != diagproto::kExitSuccess)
        return code;
    report.Started(started);
    const auto process = OpenServiceProcess(manager.get());
    const ServerWatch watch{process.get(), [&manager] { return ServiceGone(manager.get()); }};

    // A request's own failure (a missing key) is shown in its reply and
    // decides the exit code; the session ends early only when the service
    // ends or the channel fails.
    int outcome = diagproto::kExitSuccess;
    for (size_t i = 0; i < requests.size(); ++i) {
        const std::wstring number = std::to_wstring(i + 1);
        SERVICE_STATUS_PROCESS status{};
        if (!QueryStatus(manager.get(), status))
            return ReportFailure(L"QueryServiceStatusEx", GetLastError());
        if (status.dwCurrentState != SERVICE_RUNNING) {
            report.Note(L"the service is no longer running; request " + number + L" is not posted");
            return ReportEnd(manager.get(), diagproto::kExitFailed, report);
        }
        Out(L"request " + number + L":\n");
        RequestRun run;
        const int result = RunRequest(*channel, requests[i], timeoutMs, &run, &watch);
        report.Replied(run.Json);
        if (run.Posted == PostResult::ServerEnded)
            return EndWithoutReply(manager.get(), L"request " + number, report);
        if (!IsRequestOutcome(result))
            return EndOnBrokenChannel(manager.get(), result, report);
        if (outcome == diagproto::kExitSuccess)
            outcome = result;
        // The service ends after a request it could not carry out; nothing
        // is posted to a service that has ended.
        if (run.Reply.ResultCode != 0 && WaitWhile(manager.get(), SERVICE_RUNNING, kLeaveRunningWaitMs, status) &&
            status.dwCurrentState != SERVICE_RUNNING) {
            report.Note(L"the service ended after request " + number + L"; Quit is not posted");
            return ReportEnd(manager.get(), outcome, report);
        }
    }

    Request quit;
    quit.Kind = L"quit";
    quit.WorkType = diagproto::kWorkTypeQuit;
    quit.Bytes = diagproto::EncodeQuit();
    Out(L"Quit:\n");
    RequestRun quitRun;
    const int quitResult = RunRequest(*channel, quit, timeoutMs, &quitRun, &watch);
    report.Quit(quitRun.Json);
    if (quitRun.Posted == PostResult::ServerEnded)
        return EndWithoutReply(manager.get(), L"Quit", report);
    if (!IsRequestOutcome(quitResult))
        return EndOnBrokenChannel(manager.get(), quitResult, report);
    SERVICE_STATUS_PROCESS status{};
    if (const int ended = ReportEnd(manager.get(), outcome, report, &status); ended != diagproto::kExitSuccess)
        return ended;
    const bool clean = status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode == 0 &&
                       status.dwServiceSpecificExitCode == 0;
    return clean ? diagproto::kExitSuccess : diagproto::kExitFailed;
}

}  // namespace

int RunSession(const CommandLine& line) {
    std::vector<Request> requests;
    RequestError error;
    if (!ParseRequests(line, requests, error))
        return ReportRequestError(line.Verb, error);
    SessionReport report;
    const int code = Run(line, requests, report);
    if (line.Json)
        OutJson(report.Json(code));
    return code;
}

}  // namespace diagctl
