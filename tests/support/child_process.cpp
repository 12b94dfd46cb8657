#include "child_process.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace testing_support {

namespace {

std::atomic<unsigned> g_StartRetries{0};
constexpr int kStartAttempts = 4;
constexpr size_t kReportedOutput = 2000;

std::wstring OutputFileName() {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp, length) + L"vq-child-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter) + L".out";
}

}  // namespace

void RetrySpuriousStartError(const std::function<bool()>& failedThatWay) {
    for (int attempt = 1; failedThatWay() && attempt < kStartAttempts; ++attempt) {
        ++g_StartRetries;
        ::Sleep(50 * attempt);
    }
}

BOOL StartProcess(const wchar_t* application, wchar_t* commandLine, BOOL inheritHandles, DWORD flags,
                  STARTUPINFOW* startup, PROCESS_INFORMATION* info, const wchar_t* directory) {
    BOOL started = FALSE;
    RetrySpuriousStartError([&] {
        started = ::CreateProcessW(application, commandLine, nullptr, nullptr, inheritHandles, flags, nullptr,
                                   directory, startup, info);
        return !started && ::GetLastError() == ERROR_INTERNAL_ERROR;
    });
    return started;
}

unsigned StartRetries() { return g_StartRetries.load(); }

Child::~Child() {
    if (m_Info.hProcess) {
        if (::WaitForSingleObject(m_Info.hProcess, 0) == WAIT_TIMEOUT) ::TerminateProcess(m_Info.hProcess, 0xDEAD);
        ::WaitForSingleObject(m_Info.hProcess, 5000);
        ::CloseHandle(m_Info.hProcess);
    }
    if (m_Info.hThread) ::CloseHandle(m_Info.hThread);
    if (!m_OutputPath.empty()) ::DeleteFileW(m_OutputPath.c_str());
}

bool Child::Start(const std::wstring& commandLine, DWORD flags, bool capture, const wchar_t* application,
                  const wchar_t* directory) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    HANDLE output = INVALID_HANDLE_VALUE;
    if (capture) {
        m_OutputPath = OutputFileName();
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        output = ::CreateFileW(m_OutputPath.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output != INVALID_HANDLE_VALUE) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = nullptr;
            startup.hStdOutput = output;
            startup.hStdError = output;
        }
    }
    std::wstring line = commandLine;
    const BOOL started =
        StartProcess(application, line.data(), output != INVALID_HANDLE_VALUE, flags, &startup, &m_Info, directory);
    const DWORD error = ::GetLastError();
    if (output != INVALID_HANDLE_VALUE) ::CloseHandle(output);
    if (!started) {
        m_Info = {};
        m_Report = "could not start (error " + std::to_string(error) + ")";
    }
    return started != FALSE;
}

bool Child::Wait(const std::string& what, DWORD timeoutMs) {
    if (!m_Info.hProcess) return false;
    if (::WaitForSingleObject(m_Info.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        GiveUp(what, timeoutMs);
        return false;
    }
    ::GetExitCodeProcess(m_Info.hProcess, &m_ExitCode);
    return true;
}

void Child::GiveUp(const std::string& what, DWORD waitedMs) {
    if (m_Info.hProcess && ::WaitForSingleObject(m_Info.hProcess, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(m_Info.hProcess, 0xDEAD);
        ::WaitForSingleObject(m_Info.hProcess, 5000);
    }
    const std::string output = Output();
    m_Report = "child " + std::to_string(m_Info.dwProcessId) + " gave no answer within " +
               std::to_string(waitedMs / 1000) + " s while the test waited for " + what + "; ended it. Its last output:\n" +
               (output.size() > kReportedOutput ? "..." + output.substr(output.size() - kReportedOutput) : output);
    std::fprintf(stderr, "%s\n", m_Report.c_str());
}

std::string Child::Output() const {
    if (m_OutputPath.empty()) return {};
    std::ifstream in(std::filesystem::path(m_OutputPath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace testing_support
