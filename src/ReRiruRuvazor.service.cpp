// The service's life: the status record, the start-up steps, the work loop,
// the control handler and the stop.
#include "ReRiruRuvazor.h"

#include <chrono>
#include <exception>
#include <utility>

#include "base/VqError.h"
#include "base/VqTrace.h"
#include "common/winapi_wrappers.h"

using VqBase::GetTrace;
using VqBase::TL_ERROR;
using VqBase::TL_INFO;
using VqBase::TL_WARNING;

namespace {

constexpr wchar_t kServiceMain[] = L"DiagService::ServiceMain";
constexpr DWORD kOtherwise = 0xFFFFFFFF;  // service-specific code of a failure
constexpr DWORD kShutdownExitCode = 641;  // ERROR_SYSTEM_SHUTDOWN

// What the service control manager is told to wait, at most, after a STOP
// that arrived during a request: the grace period and some slack.
constexpr DWORD kStopWaitSlackMs = 5000;

}  // namespace

// --- Status ---

DiagService::Status::Status() : m_Status{}, m_Handle(nullptr) {}

DiagService::Status& DiagService::Status::operator=(SERVICE_STATUS_HANDLE handle) {
    if (m_Handle)
        GetTrace().TraceW(TL_WARNING, L"[%s] Handle: NOT null (%016X)", L"DiagService::Status::operator =", m_Handle);
    m_Handle = handle;
    return *this;
}

bool DiagService::Status::Update(DWORD state) {
    m_Status.dwCurrentState = state;
    if (!m_Handle) {
        GetTrace().TraceW(TL_WARNING, L"[%s] Handle: NULL", L"DiagService::Status::Update");
        Winapi::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return Winapi::Service::SetStatus(m_Handle, &m_Status);
}

bool DiagService::Status::Update(DWORD state, const ExitCode& exitCode) {
    m_Status.dwWin32ExitCode = exitCode.Win32ExitCode;
    m_Status.dwServiceSpecificExitCode = exitCode.ServiceSpecificExitCode;
    return Update(state);
}

// --- start-up checks ---

bool DiagService::CheckArgs(DWORD argc, LPWSTR* argv) {
    if (argc != 1) {
        GetTrace().TraceW(TL_ERROR, L"[%s] ArgCount: %u (expected 1)", L"DiagService::CheckArgs", argc);
        return false;
    }
    if (!argv) {
        GetTrace().TraceW(TL_ERROR, L"[%s] ArgVector: NULL", L"DiagService::CheckArgs");
        return false;
    }
    return true;
}

// --- stop ---

bool DiagService::Stop(const ExitCode& exitCode) {
    // Here, so that the control handler's stop while the loop waits, which
    // never returns to the loop, reports it too.
    Report::RefusedRequestCount();
    GetTrace().TraceW(TL_INFO, L"[%s] ExitCode: %i (%08X)", L"DiagService::Stop", exitCode.Win32ExitCode,
                      exitCode.Win32ExitCode);
    if (!m_Status.Update(SERVICE_STOP_PENDING, exitCode))
        return false;
    return m_Status.Update(SERVICE_STOPPED);
}

// --- where errors stop ---

DWORD DiagService::Guard(const wchar_t* function, const std::function<void()>& body) noexcept {
    try {
        body();
        return ERROR_SUCCESS;
    } catch (VqBase::CVqError& error) {
        GetTrace().TraceW(TL_ERROR, L"[%s] %s", function, error.GetDump());
        return error.GetCode() != ERROR_SUCCESS ? error.GetCode() : DWORD{ERROR_INTERNAL_ERROR};
    } catch (const std::exception& error) {
        GetTrace().TraceW(TL_ERROR, L"[%s] %S", function, error.what());
    } catch (...) {
        GetTrace().TraceW(TL_ERROR, L"[%s] unknown exception", function);
    }
    return ERROR_INTERNAL_ERROR;
}

// --- service main routine ---

void DiagService::Run(DWORD argc, LPWSTR* argv, LPHANDLER_FUNCTION handler) {
    {
        std::lock_guard lock(m_LoopLock);
        m_LoopState = LoopState::Starting;
    }
    // An error object must not leave the service thread: it would end the
    // process without a STOPPED report.
    const DWORD escaped = Guard(kServiceMain, [&] { RunSteps(argc, argv, handler); });
    if (escaped != ERROR_SUCCESS)
        EndLoop({escaped, kOtherwise});
    std::lock_guard lock(m_LoopLock);
    if (m_LoopState != LoopState::Abandoned)
        m_LoopState = LoopState::Ended;
    // Notified under the lock: once it is released the thread touches the
    // instance no more, and the main thread may destroy it.
    m_LoopChanged.notify_all();
}

void DiagService::RunSteps(DWORD argc, LPWSTR* argv, LPHANDLER_FUNCTION handler) {
    {
        // Registered before anything is checked, so that every refusal
        // reaches the service control manager. Held so that a control
        // arriving right after the registration finds the handle stored.
        std::lock_guard lock(m_LoopLock);
        const wchar_t* name = argv != nullptr && argc > 0 && argv[0] != nullptr ? argv[0] : kServiceName;
        m_Status = Winapi::Service::RegisterCtrlHandler(name, handler);
    }
    if (!m_Status.m_Handle) {
        EndLoop({ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, kOtherwise});
        return;
    }
    if (!CheckArgs(argc, argv)) {
        Report::StartParametersRefused(argc, argv);
        EndLoop({ERROR_BAD_ARGUMENTS, kOtherwise});
        return;
    }
    {
        std::lock_guard lock(m_LoopLock);
        if (!m_StopRequested)
            m_Status.Update(SERVICE_START_PENDING);
    }
    // Before any request: every reg.exe it starts inherits what is left.
    if (const Hardening::Trimmed trimmed = Hardening::TrimOwnPrivileges(); trimmed.Error != ERROR_SUCCESS) {
        // Serving with the whole of LocalSystem's token is what the trim
        // exists to prevent: the service stops instead, and says why.
        GetTrace().TraceW(TL_ERROR, L"[%s] Privileges not removed: %s: E(%08X)", kServiceMain, trimmed.Step.c_str(),
                          trimmed.Error);
        Report::PrivilegesNotRemoved(trimmed.Step, trimmed.Error);
        EndLoop({trimmed.Error, kOtherwise});
        return;
    }
    if (!CheckAccess::Do(*this)) {
        EndLoop({ERROR_ACCESS_DENIED, kOtherwise});
        return;
    }
    {
        // A stop that came during start-up has reported STOP_PENDING
        // already; RUNNING must not follow it.
        std::lock_guard lock(m_LoopLock);
        if (!m_StopRequested)
            m_Status.Update(SERVICE_RUNNING);
    }

    DWORD code = 0;
    for (bool stop = false; !stop;) {
        {
            std::lock_guard lock(m_LoopLock);
            if (m_StopRequested)
                break;
            m_LoopState = LoopState::Idle;
        }
        const int answer = m_Events.WaitForWork();
        const DWORD waitError = Winapi::GetLastError();
        {
            std::lock_guard lock(m_LoopLock);
            // The handler has reported STOPPED while we waited: the request
            // that woke us is not ours to answer any more.
            if (m_LoopState == LoopState::Abandoned)
                return;
            m_LoopState = LoopState::Busy;
        }
        if (answer != 0) {
            code = waitError;
            break;
        }
        // The header is read once; the tool may rewrite the section while the
        // request runs.
        WorkItem request{};
        if (!(ReadRequest(request) ? MainLogic(request) : RefuseUnreadable(kServiceMain))) {
            code = static_cast<DWORD>(LastResult());
            if (code == ERROR_INVALID_DATA) Report::RequestRefused(request.WorkType, request.Data.Size);
            stop = true;
        }
        if (request.WorkType == WorkType_Quit)
            stop = true;
        TakeBackSignal(request);
        m_Events.SetWorkDone();
    }
    EndLoop({code, code == 0 ? 0 : kOtherwise});
}

bool DiagService::TakeBackSignal(const WorkItem& request) {
    if (!m_Events.ConsumeSignal())
        return false;
    GetTrace().TraceW(TL_WARNING, L"[%s] Work requested again during the request: ignored", kServiceMain);
    // The request that was carried out was not refused, and what the signal
    // brought (if anything) was overwritten by its reply.
    Report::SignalDuringRequest(request.WorkType);
    return true;
}

// Leaves the loop for good and reports the stop: with the control's codes
// when a control asked for it, else with the loop's own.
void DiagService::EndLoop(ExitCode exitCode) {
    std::thread watch;
    {
        std::lock_guard lock(m_LoopLock);
        if (m_LoopState == LoopState::Abandoned)
            return;
        m_LoopState = LoopState::Stopping;
        if (m_StopRequested)
            exitCode = m_StopCode;
        watch = std::move(m_StopWatch);
        m_LoopChanged.notify_all();
    }
    if (watch.joinable())
        watch.join();
    std::lock_guard lock(m_LoopLock);
    Stop(exitCode);
}

// Runs beside a request that a stop interrupted: gives it the grace period,
// then ends its export processes so that the request completes.
void DiagService::WatchStop() {
    std::unique_lock lock(m_LoopLock);
    const bool finished = m_LoopChanged.wait_for(lock, std::chrono::milliseconds(m_StopGraceMs),
                                                 [this] { return m_LoopState != LoopState::Busy; });
    if (finished)
        return;
    lock.unlock();
    GetTrace().TraceW(TL_WARNING, L"[%s] Request still running after %lu ms: aborting it",
                      L"DiagService::ControlHandler", m_StopGraceMs);
    AbortExports();
}

// --- control handler ---

void DiagService::OnControl(DWORD code) {
    ExitCode exitCode{0, 0};
    switch (code) {
        case SERVICE_CONTROL_STOP:
            GetTrace().TraceW(TL_INFO, L"[%s] Code: SERVICE_CONTROL_STOP", L"DiagService::ControlHandler");
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            GetTrace().TraceW(TL_INFO, L"[%s] Code: SERVICE_CONTROL_SHUTDOWN", L"DiagService::ControlHandler");
            exitCode = {kShutdownExitCode, 0};
            break;
        default:
            GetTrace().TraceW(TL_ERROR, L"[%s] Code: %lu", L"DiagService::ControlHandler", code);
            return;
    }

    std::lock_guard lock(m_LoopLock);
    switch (m_LoopState) {
        case LoopState::Idle:
            // Nothing to finish: stopped at once. The service thread stays in
            // its wait until the process ends.
            m_LoopState = LoopState::Abandoned;
            m_StopRequested = true;
            Stop(exitCode);
            return;
        case LoopState::NotStarted:
        case LoopState::Starting:
        case LoopState::Busy:
            break;
        default:
            return;  // already on its way to STOPPED
    }
    if (m_StopRequested)
        return;  // the first control decides the exit codes
    m_StopRequested = true;
    m_StopCode = exitCode;
    GetTrace().TraceW(TL_WARNING, L"[%s] Request in progress: stopping after it", L"DiagService::ControlHandler");
    m_Status.m_Status.dwWaitHint = m_StopGraceMs + kStopWaitSlackMs;
    m_Status.Update(SERVICE_STOP_PENDING, exitCode);
    m_Status.m_Status.dwWaitHint = 0;
    if (m_LoopState == LoopState::Busy) {
        try {
            m_StopWatch = std::thread([this] { WatchStop(); });
        } catch (const std::exception&) {
            // Without the watcher the request is cut short at once instead.
            AbortExports();
        }
    }
}

bool DiagService::WaitForServiceThread(DWORD milliseconds) {
    std::unique_lock lock(m_LoopLock);
    m_LoopChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] {
        return m_LoopState == LoopState::NotStarted || m_LoopState == LoopState::Ended ||
               m_LoopState == LoopState::Abandoned;
    });
    return m_LoopState == LoopState::NotStarted || m_LoopState == LoopState::Ended;
}
