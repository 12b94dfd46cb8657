#pragma once
// diagctl's side of the service control manager: the service verbs, and
// what the session mode and the channel verbs need to know of the service.
#include <windows.h>

#include <string>
#include <vector>

#include "cmdline.h"
#include "status_text.h"

namespace diagctl {

inline constexpr wchar_t kServiceName[] = L"ReRiruRuvazor";
// The service's event log source, which install registers and uninstall
// removes, as the package does.
inline constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ReRiruRuvazor";

// Owns a service control manager or service handle.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : m_Handle(handle) {}
    ~ScHandle();
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return m_Handle; }
    explicit operator bool() const { return m_Handle != nullptr; }

private:
    SC_HANDLE m_Handle;
};

ScHandle OpenManager(DWORD access = SC_MANAGER_ALL_ACCESS);
ScHandle OpenProductService(SC_HANDLE manager, DWORD access);

// The service's status through a handle opened for this one query: under
// Wine a handle opened before the service's process ended can go on
// answering STOP_PENDING. False with the reason in the last error.
bool QueryStatus(SC_HANDLE manager, SERVICE_STATUS_PROCESS& status);
// Polls while the state is pendingState, up to limitMs.
bool WaitWhile(SC_HANDLE manager, DWORD pendingState, DWORD limitMs, SERVICE_STATUS_PROCESS& status);
// Polls until the state is STOPPED, up to limitMs.
bool WaitStopped(SC_HANDLE manager, DWORD limitMs, SERVICE_STATUS_PROCESS& status);

// Prints the state and both exit codes with their texts.
void PrintStatus(const SERVICE_STATUS_PROCESS& status);
// The status as facts, with the exit codes' texts (in words where no table
// has one).
ServiceFacts FactsOf(const SERVICE_STATUS_PROCESS& status);

// status's whole answer: the text (or, when the status could not be read,
// the failure's message), one JSON object of the kind "status", and the
// exit code.
struct StatusReport {
    std::wstring Text;
    JsonObject Json;
    int ExitCode = 0;
    bool Failed = false;
};
StatusReport ReadStatus();

// The configuration as the manager holds it (start type, image path,
// display name) into facts; false with the last error.
bool QueryConfig(SC_HANDLE service, ServiceFacts& facts);

// The service reports within 100 ms under Wine; the platform gives up on a
// start after 10 s, so 15 s covers every answer it can give.
inline constexpr DWORD kStartWaitMs = 15000;

// Starts the service and waits up to limitMs for its first answer, which it
// prints (and stores in reported, when given). Returns diagctl's exit code.
int StartAndReport(SC_HANDLE manager, const std::vector<std::wstring>& parameters, DWORD limitMs = kStartWaitMs,
                   SERVICE_STATUS_PROCESS* reported = nullptr);

// When the product's channel names exist because the installed service is
// running (it holds the objects while its process lives), a sentence that
// says so: whose channel it serves, or, when no other diagctl runs, that the
// channel was left behind, naming "diagctl stop"; empty otherwise.
std::wstring ChannelHolderHint();

// For a one-shot request on the product's channel: the service opens the
// channel only as it starts, so when it is installed and stopped, or not
// installed, nobody will answer. Says so at once, with what to run instead,
// and returns the exit code; kExitSuccess (0) when the request may go ahead.
int RefuseWhenNobodyServes();

bool IsServiceVerb(const std::wstring& verb);
// install, uninstall, start, stop, control, status. Returns diagctl's exit code.
int RunServiceVerb(const CommandLine& line);

}  // namespace diagctl
