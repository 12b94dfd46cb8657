// diagctl's side of the service control manager.
#include "scm.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <thread>

#include "channel.h"
#include "common/winapi_wrappers.h"
#include "diagproto.h"

namespace diagctl {
namespace {

constexpr wchar_t kService[] = L"ReRiruRuvazor";
constexpr wchar_t kServiceExe[] = L"ReRiruRuvazor.exe";

// The service reports within 100 ms under Wine; the platform gives up on a
// start after 10 s, so 15 s covers every answer it can give.
constexpr DWORD kStartWaitMs = 15000;
// A stop may wait for a request in progress (at most 5 s) and its reports.
constexpr DWORD kStopWaitMs = 30000;
// After DeleteService the name stays until the service's process has gone.
constexpr DWORD kDeleteWaitMs = 15000;
// One request's reply; an export of a large key takes seconds.
constexpr DWORD kRequestWaitMs = 120000;

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : m_Handle(handle) {}
    ~ScHandle() {
        if (m_Handle)
            CloseServiceHandle(m_Handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return m_Handle; }
    explicit operator bool() const { return m_Handle != nullptr; }

private:
    SC_HANDLE m_Handle;
};

int Failed(const wchar_t* what, DWORD error) {
    std::fwprintf(stderr, L"diagctl: %ls failed: error %lu\n", what, error);
    return error != 0 ? static_cast<int>(error) : 1;
}

int Usage() {
    std::fwprintf(stderr,
                  L"usage: diagctl install [EXE]         register the service (default: %ls next to diagctl)\n"
                  L"       diagctl uninstall             stop it if running and remove it\n"
                  L"       diagctl start [ARG...]        start it, optionally with start parameters\n"
                  L"       diagctl stop                  stop it and wait until it has stopped\n"
                  L"       diagctl control CODE          send a control code\n"
                  L"       diagctl status                state and both exit codes\n"
                  L"       diagctl session [REQUEST...]  create the channel, start the service, run the\n"
                  L"                                     requests, send Quit and report how it ended;\n"
                  L"                                     REQUEST: export KEY=FILE [KEY=FILE...]\n"
                  L"                                            | raw WORKTYPE DATASIZE [HEX]\n",
                  kServiceExe);
    return diagproto::kExitUsage;
}

void PrintStatus(const SERVICE_STATUS& status) {
    std::wprintf(L"%ls: %ls, win32 exit code %lu, service exit code %lu (0x%08lX)\n", kService,
                 Winapi::Service::StateName(status.dwCurrentState).c_str(), status.dwWin32ExitCode, status.dwServiceSpecificExitCode,
                 status.dwServiceSpecificExitCode);
    std::fflush(stdout);
}

ScHandle OpenManager() { return ScHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)); }

ScHandle OpenService(SC_HANDLE manager, DWORD access) { return ScHandle(OpenServiceW(manager, kService, access)); }

// Polls until the state is no longer pending (or is target), up to limitMs.
bool WaitWhile(SC_HANDLE service, DWORD pendingState, DWORD limitMs, SERVICE_STATUS& status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (!QueryServiceStatus(service, &status))
            return false;
        if (status.dwCurrentState != pendingState)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Waits until the service has reported STOPPED.
bool WaitStopped(SC_HANDLE service, DWORD limitMs, SERVICE_STATUS& status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (!QueryServiceStatus(service, &status))
            return false;
        if (status.dwCurrentState == SERVICE_STOPPED || std::chrono::steady_clock::now() >= deadline)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::wstring DefaultServicePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return kServiceExe;
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const auto slash = path.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + kServiceExe;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    full.resize(length);
    return full;
}

int Install(const std::vector<std::wstring>& args) {
    if (args.size() > 2)
        return Usage();
    const std::wstring path = args.size() == 2 ? FullPath(args[1]) : DefaultServicePath();
    ScHandle manager = OpenManager();
    if (!manager)
        return Failed(L"OpenSCManager", GetLastError());
    // Quoted, so that a path with blanks is not split.
    const std::wstring binary = L"\"" + path + L"\"";
    ScHandle service(CreateServiceW(manager.get(), kService, kService, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr,
                                    nullptr, nullptr, nullptr));
    if (!service)
        return Failed(L"CreateService", GetLastError());
    std::wprintf(L"%ls: installed, %ls\n", kService, path.c_str());
    return 0;
}

int Uninstall(const std::vector<std::wstring>& args) {
    if (args.size() != 1)
        return Usage();
    ScHandle manager = OpenManager();
    if (!manager)
        return Failed(L"OpenSCManager", GetLastError());
    {
        ScHandle service = OpenService(manager.get(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
        if (!service)
            return Failed(L"OpenService", GetLastError());
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
            if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
                WaitStopped(service.get(), kStopWaitMs, status);
        }
        if (!DeleteService(service.get()))
            return Failed(L"DeleteService", GetLastError());
    }
    // The name goes only when the service's process has gone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeleteWaitMs);
    for (;;) {
        ScHandle probe = OpenService(manager.get(), SERVICE_QUERY_STATUS);
        if (!probe)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fwprintf(stderr, L"diagctl: %ls is still registered\n", kService);
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::wprintf(L"%ls: uninstalled\n", kService);
    return 0;
}

// Starts the service and waits for its first answer; prints the status.
int StartService(SC_HANDLE manager, const std::vector<std::wstring>& parameters) {
    ScHandle service = OpenService(manager, SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service)
        return Failed(L"OpenService", GetLastError());
    std::vector<const wchar_t*> vector;
    for (const auto& parameter : parameters)
        vector.push_back(parameter.c_str());
    if (!StartServiceW(service.get(), static_cast<DWORD>(vector.size()), vector.empty() ? nullptr : vector.data()))
        return Failed(L"StartService", GetLastError());
    SERVICE_STATUS status{};
    if (!WaitWhile(service.get(), SERVICE_START_PENDING, kStartWaitMs, status))
        return Failed(L"QueryServiceStatus", GetLastError());
    PrintStatus(status);
    return 0;
}

int Start(const std::vector<std::wstring>& args) {
    ScHandle manager = OpenManager();
    if (!manager)
        return Failed(L"OpenSCManager", GetLastError());
    return StartService(manager.get(), std::vector<std::wstring>(args.begin() + 1, args.end()));
}

int Stop(const std::vector<std::wstring>& args) {
    if (args.size() != 1)
        return Usage();
    ScHandle manager = OpenManager();
    if (!manager)
        return Failed(L"OpenSCManager", GetLastError());
    ScHandle service = OpenService(manager.get(), SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service)
        return Failed(L"OpenService", GetLastError());
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        return Failed(L"ControlService(STOP)", GetLastError());
    if (!WaitStopped(service.get(), kStopWaitMs, status))
        return Failed(L"QueryServiceStatus", GetLastError());
    PrintStatus(status);
    return status.dwCurrentState == SERVICE_STOPPED ? 0 : static_cast<int>(ERROR_SERVICE_REQUEST_TIMEOUT);
}

int Control(const std::vector<std::wstring>& args) {
    std::int32_t code = 0;
    if (args.size() != 2 || !diagproto::ParseInt32(args[1], code))
        return Usage();
    ScHandle manager = OpenManager();
    if (!manager)
        return Failed(L"OpenSCManager", GetLastError());
    ScHandle service = OpenService(manager.get(), SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL |
                                                      SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS);
    if (!service)
        return Failed(L"OpenService", GetLastError());
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), static_cast<DWORD>(code), &status))
        return Failed(L"ControlService", GetLastError());
    std::wprintf(L"control %lu: delivered\n", static_cast<DWORD>(code));
    PrintStatus(status);
    return 0;
}

int Status(const std::vector<std::wstring>& args) {
    if (args.size() != 1)
        return Usage();
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return Failed(L"OpenSCManager", GetLastError());
    ScHandle service = OpenService(manager.get(), SERVICE_QUERY_STATUS);
    if (!service)
        return Failed(L"OpenService", GetLastError());
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status))
        return Failed(L"QueryServiceStatus", GetLastError());
    PrintStatus(status);
    return 0;
}

// --- session mode ---

struct SessionRequest {
    std::vector<std::uint8_t> Bytes;
    std::int32_t WorkType = 0;
    std::vector<diagproto::ExportPair> Pairs;  // for an export
};

bool ParseSession(const std::vector<std::wstring>& args, std::vector<SessionRequest>& requests) {
    size_t i = 1;
    while (i < args.size()) {
        SessionRequest request;
        if (args[i] == L"export") {
            for (++i; i < args.size() && args[i] != L"export" && args[i] != L"raw"; ++i) {
                diagproto::ExportPair pair;
                if (!diagproto::ParsePair(args[i], pair))
                    return false;
                request.Pairs.push_back(pair);
            }
            if (request.Pairs.empty())
                return false;
            request.WorkType = diagproto::kWorkTypeExportRegKeys;
            request.Bytes = diagproto::EncodeExport(request.Pairs);
        } else if (args[i] == L"raw") {
            std::int32_t size = 0;
            if (i + 2 >= args.size() || !diagproto::ParseInt32(args[i + 1], request.WorkType) ||
                !diagproto::ParseInt32(args[i + 2], size))
                return false;
            std::vector<std::uint8_t> data;
            i += 3;
            if (i < args.size() && args[i] != L"export" && args[i] != L"raw") {
                if (!diagproto::ParseHex(args[i], data))
                    return false;
                ++i;
            }
            request.Bytes = diagproto::EncodeRequest(request.WorkType, size, data);
        } else {
            return false;
        }
        requests.push_back(std::move(request));
    }
    return true;
}

std::wstring ResultText(std::int32_t code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = length ? std::wstring(text, length) : std::wstring();
    if (text)
        LocalFree(text);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r'))
        result.pop_back();
    return result;
}

// Sends one request and prints its reply; returns diagctl's exit code for it.
int RunRequest(Channel& channel, const SessionRequest& request) {
    const PostResult posted = channel.Post(request.Bytes, kRequestWaitMs);
    if (posted == PostResult::TimedOut) {
        std::fwprintf(stderr, L"diagctl: no reply within %lu ms\n", kRequestWaitMs);
        return diagproto::kExitTimeout;
    }
    if (posted == PostResult::Failed) {
        Failed(L"posting the request", GetLastError());
        return diagproto::kExitUsage;
    }
    const diagproto::Reply reply = channel.Reply();
    std::wprintf(L"%ls", diagproto::FormatReply(reply, request.Pairs.empty() ? nullptr : &request.Pairs,
                                                ResultText(reply.ResultCode))
                             .c_str());
    std::fflush(stdout);
    return diagproto::ExitCodeFor(reply, request.WorkType);
}

int Session(const std::vector<std::wstring>& args) {
    std::vector<SessionRequest> requests;
    if (!ParseSession(args, requests))
        return Usage();

    std::wstring message;
    Channel::CreateError createError = Channel::CreateError::None;
    const auto channel = Channel::Create(ProductChannelNames(), kDefaultSectionSize, message, &createError);
    if (!channel) {
        std::fwprintf(stderr, L"diagctl: %ls\n", message.c_str());
        return createError == Channel::CreateError::AlreadyExists ? diagproto::kExitChannelTaken
                                                                  : diagproto::kExitUsage;
    }

    ScHandle manager = OpenManager();
    if (!manager)
        return Failed(L"OpenSCManager", GetLastError());
    if (const int started = StartService(manager.get(), {}); started != 0)
        return started;

    // A request's own failure (a missing key, a refused request) is shown in
    // its reply; the session fails only when the conversation does.
    for (const auto& request : requests) {
        const int result = RunRequest(*channel, request);
        if (result == diagproto::kExitTimeout || result == diagproto::kExitUsage)
            return result;
    }
    SessionRequest quit;
    quit.WorkType = diagproto::kWorkTypeQuit;
    quit.Bytes = diagproto::EncodeQuit();
    std::wprintf(L"Quit:\n");
    if (const int result = RunRequest(*channel, quit); result == diagproto::kExitTimeout)
        return result;

    ScHandle service = OpenService(manager.get(), SERVICE_QUERY_STATUS);
    if (!service)
        return Failed(L"OpenService", GetLastError());
    SERVICE_STATUS status{};
    if (!WaitStopped(service.get(), kStopWaitMs, status))
        return Failed(L"QueryServiceStatus", GetLastError());
    PrintStatus(status);
    const bool clean = status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode == 0 &&
                       status.dwServiceSpecificExitCode == 0;
    return clean ? diagproto::kExitSuccess : diagproto::kExitFailed;
}

struct Command {
    const wchar_t* Verb;
    int (*Run)(const std::vector<std::wstring>&);
};

constexpr Command kCommands[] = {
    {L"install", Install}, {L"uninstall", Uninstall}, {L"start", Start},     {L"stop", Stop},
    {L"control", Control}, {L"status", Status},       {L"session", Session},
};

}  // namespace

bool IsScmCommand(const std::wstring& verb) {
    for (const auto& command : kCommands)
        if (verb == command.Verb)
            return true;
    return false;
}

int RunScmCommand(const std::vector<std::wstring>& args) {
    if (args.empty())
        return Usage();
    for (const auto& command : kCommands)
        if (args[0] == command.Verb)
            return command.Run(args);
    return Usage();
}

}  // namespace diagctl
