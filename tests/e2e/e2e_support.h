#pragma once
// What the end-to-end tests share: the build's programs, running a process
// and collecting its output and exit code, the trace's file sink turned on
// through the registry, and a service registration that is removed again
// whatever happens.
#include <windows.h>

#include <string>
#include <vector>

#include "child_process.h"

namespace e2e {

// The build's bin directory as a Windows path (VQ_BIN_DIR).
std::wstring BinDir();
std::wstring InBin(const std::wstring& file);

struct ProcessResult {
    bool Started = false;
    DWORD ExitCode = 0;
    std::string Output;  // stdout and stderr together
    DWORD ElapsedMs = 0;
};

// Runs a command line to its end (killing it after limitMs).
ProcessResult Run(const std::wstring& commandLine, DWORD limitMs = testing_support::kChildTimeoutMs);
// diagctl.exe of the build with the given arguments (already quoted).
ProcessResult Diagctl(const std::wstring& arguments, DWORD limitMs = testing_support::kChildTimeoutMs);
// "diagctl start ARGUMENTS", tried again (at most 3 more times, each
// counted) while the service manager fails to start the service's process
// with ERROR_INTERNAL_ERROR: Wine's spurious start failure, not what a test
// of the service checks.
ProcessResult DiagctlStart(const std::wstring& arguments = L"");

// Turns the trace on for every program of the prefix: all levels into
// <dir>\ReRiruRuvazor.log. Removes the configuration again when destroyed.
class TraceToFile {
public:
    explicit TraceToFile(const std::wstring& testName);
    ~TraceToFile();
    TraceToFile(const TraceToFile&) = delete;
    TraceToFile& operator=(const TraceToFile&) = delete;

    const std::wstring& Directory() const { return m_Directory; }
    std::wstring LogPath() const { return m_Directory + L"\\ReRiruRuvazor.log"; }
    // The log's lines without their CR LF (empty when there is no log).
    std::vector<std::string> Lines() const;
    std::string Text() const;
    // Deletes the log, so that the next process starts from nothing.
    void Clear() const;
    // Polls until a line contains fragment, up to limitMs.
    bool WaitFor(const std::string& fragment, DWORD limitMs = 10000) const;

private:
    std::wstring m_Directory;
};

// Index of the first line at or after from that contains fragment, or -1.
int FindLine(const std::vector<std::string>& lines, const std::string& fragment, int from = 0);
// True when each fragment is found on a line after the previous one's.
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& fragments);
std::string Join(const std::vector<std::string>& lines);

// Installs a copy of the service (by default the build's) with VqError.dll,
// vq_fake_reg.exe and reg.exe from beside it on the prefix's C: (a build tree
// under /tmp is one others may change, which install refuses) after removing
// any leftover registration, and uninstalls it when destroyed.
class ServiceRegistration {
public:
    explicit ServiceRegistration(const std::wstring& exePath = L"");
    ~ServiceRegistration();
    ServiceRegistration(const ServiceRegistration&) = delete;
    ServiceRegistration& operator=(const ServiceRegistration&) = delete;
    bool Installed() const { return m_Installed; }
    // The copy that is registered.
    const std::wstring& Executable() const { return m_Executable; }

private:
    std::wstring m_Executable;
    bool m_Installed = false;
};

// The service's status straight from the service control manager.
bool QueryStatus(SERVICE_STATUS& status);
// Polls until the service has reported STOPPED, up to limitMs.
bool WaitStopped(SERVICE_STATUS& status, DWORD limitMs = 15000);

// What the prefix's services wrote to their event log: Wine prints the
// entries on stderr, and scripts/wine-prefix keeps the service manager's.
std::string ServicesLog();

// A directory of its own under the prefix's temporary directory, emptied.
std::wstring FreshDirectory(const std::wstring& name);
bool CopyInto(const std::wstring& source, const std::wstring& target);

}  // namespace e2e
