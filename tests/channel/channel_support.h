#pragma once
// Helpers of the work-channel tests: channels and registry keys of the test's
// own, child processes of the test executable, process launchers for the
// export request's seam.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ReRiruRuvazor.h"
#include "channel.h"
#include "child_process.h"

namespace channel_test {

// A name no other test process or test case uses: tag, process id, counter.
std::wstring UniqueName(const std::wstring& tag);

DiagService::ChannelNames ServiceNames(const diagctl::ChannelNames& names);

// The tool's side (created first) and the service on the same names.
struct Harness {
    explicit Harness(DWORD sectionSize = diagctl::kDefaultSectionSize, DiagService::ProcessStarter starter = {});

    diagctl::ChannelNames Names;
    std::unique_ptr<diagctl::Channel> Tool;
    std::unique_ptr<DiagService> Service;

    // Writes request at offset 0 as the tool does (the rest zeroed), without
    // signalling; the test then calls the service directly.
    void Write(const std::vector<std::uint8_t>& request);
    std::uint8_t* Bytes() const { return static_cast<std::uint8_t*>(Tool->View()); }
    WorkItem* Item() const { return static_cast<WorkItem*>(Tool->View()); }
    diagproto::Reply Reply() const { return Tool->Reply(); }
};

// The path of a file next to the running test executable.
std::wstring BesideSelf(const std::wstring& fileName);

// Starts vq_stand_in.exe (beside the test) with arguments, without a console.
bool StartStandIn(const std::wstring& arguments, PROCESS_INFORMATION* info);

// A launcher for the export request that starts vq_stand_in.exe instead of
// reg.exe: the n-th start (0-based) exits with FirstExitCode + n, or
// sleeps forever when Sleep is set; starts listed in FailAt fail with
// FailError. It records every command line it was given and every handle it
// handed out.
class FakeLauncher {
public:
    DWORD FirstExitCode = 1000;
    bool Sleep = false;
    std::vector<size_t> FailAt;
    DWORD FailError = ERROR_FILE_NOT_FOUND;

    DiagService::ProcessStarter Starter();

    std::vector<std::wstring> CommandLines() const;
    std::vector<HANDLE> ThreadHandles() const;
    std::vector<HANDLE> ProcessHandles() const;
    size_t Starts() const;

private:
    bool Start(wchar_t* commandLine, PROCESS_INFORMATION* info);

    mutable std::mutex m_Lock;
    std::vector<std::wstring> m_CommandLines;
    std::vector<HANDLE> m_Threads;
    std::vector<HANDLE> m_Processes;
};

// A launcher that never starts anything and fails with ERROR_FILE_NOT_FOUND.
DiagService::ProcessStarter FailingLauncher();

// HKCU\Software\ReRiruRuvazorTests\<unique>: created, deleted on destruction.
class TestKey {
public:
    explicit TestKey(const std::wstring& tag);
    ~TestKey();
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    const std::wstring& Path() const { return m_Path; }       // as reg.exe takes it, "HKCU\..."
    const std::wstring& SubKey() const { return m_SubKey; }   // under HKEY_CURRENT_USER
    bool SetString(const std::wstring& subKey, const std::wstring& name, const std::wstring& value);
    bool SetDword(const std::wstring& subKey, const std::wstring& name, DWORD value);
    bool ReadString(const std::wstring& subKey, const std::wstring& name, std::wstring& value) const;
    bool ReadDword(const std::wstring& subKey, const std::wstring& name, DWORD& value) const;
    bool Exists(const std::wstring& subKey = {}) const;
    void Delete();

private:
    std::wstring m_SubKey;
    std::wstring m_Path;
};

// A path in the temporary directory, deleted (with the directory it may
// create) on destruction.
class TempPath {
public:
    explicit TempPath(const std::wstring& tag, const std::wstring& subdirectory = {});
    ~TempPath();
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;

    const std::wstring& Path() const { return m_Path; }
    bool Exists() const;
    std::vector<std::uint8_t> ReadAll() const;

private:
    std::wstring m_Directory;  // created by us, or empty
    std::wstring m_Path;
};

// Runs a command line, waits up to timeoutMs; returns the exit code, or
// 0xFFFFFFFF when it did not start or did not end in time (then ended,
// with a report of its last output).
DWORD RunAndWait(const std::wstring& commandLine, DWORD timeoutMs = testing_support::kChildTimeoutMs);

// The handle values in the trace lines of successful process starts.
std::vector<std::string> StartedProcessHandles(const std::vector<std::string>& lines);
std::string HandleText(HANDLE handle);

}  // namespace channel_test
