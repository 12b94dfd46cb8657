#pragma once
// Child processes of the tests: started with their output kept in a file,
// waited for a bounded time, and ended with a report when they do not
// answer, so that a hang costs seconds and says what it was.
#include <windows.h>

#include <functional>
#include <string>

namespace testing_support {

// How long a test waits for a child process or a service to answer.
inline constexpr DWORD kChildTimeoutMs = 30000;

// CreateProcessW, tried again (at most 3 more times) while it fails with
// ERROR_INTERNAL_ERROR: Wine 8 fails a process start that way now and then
// when many processes start at once, and a test's own start is not what the
// test checks. Every retry is counted.
BOOL StartProcess(const wchar_t* application, wchar_t* commandLine, BOOL inheritHandles, DWORD flags,
                  STARTUPINFOW* startup, PROCESS_INFORMATION* info, const wchar_t* directory = nullptr);
// The retries of this process so far; the test program prints it at its end.
unsigned StartRetries();
// Calls failedThatWay again while it answers that Wine failed its start
// with ERROR_INTERNAL_ERROR, at most 3 more times, each retry counted: the
// rule of StartProcess, for starts made elsewhere (by the service manager,
// say).
void RetrySpuriousStartError(const std::function<bool()>& failedThatWay);

class Child {
public:
    Child() = default;
    // A child still running is ended.
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts the command line. With capture, the child's standard output and
    // error go to a file of its own (not for a child that must find itself
    // without handles, such as a DETACHED_PROCESS one).
    bool Start(const std::wstring& commandLine, DWORD flags = CREATE_NO_WINDOW, bool capture = true,
               const wchar_t* application = nullptr, const wchar_t* directory = nullptr);
    // Waits at most timeoutMs. A child that has not ended by then is ended;
    // what was awaited and the child's last output are written to standard
    // error and kept in Report().
    bool Wait(const std::string& what, DWORD timeoutMs = kChildTimeoutMs);
    // Ends the child (when still running) with the same report as Wait.
    void GiveUp(const std::string& what, DWORD waitedMs);

    HANDLE Process() const { return m_Info.hProcess; }
    DWORD Id() const { return m_Info.dwProcessId; }
    // 0xFFFFFFFF until the child has ended by itself.
    DWORD ExitCode() const { return m_ExitCode; }
    std::string Output() const;
    const std::string& Report() const { return m_Report; }

private:
    PROCESS_INFORMATION m_Info{};
    std::wstring m_OutputPath;
    DWORD m_ExitCode = 0xFFFFFFFF;
    std::string m_Report;
};

}  // namespace testing_support
