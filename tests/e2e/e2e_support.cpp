#include "e2e_support.h"

#include "child_process.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

constexpr wchar_t kTraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vqcc0\\Trace";
constexpr wchar_t kService[] = L"ReRiruRuvazor";

class Handle {
public:
    explicit Handle(HANDLE value = nullptr) : m_Value(value) {}
    ~Handle() {
        if (m_Value && m_Value != INVALID_HANDLE_VALUE)
            CloseHandle(m_Value);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_Value; }

private:
    HANDLE m_Value;
};

std::wstring TempDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH, buffer);
    std::wstring path(buffer, length);
    if (!path.empty() && path.back() == L'\\')
        path.pop_back();
    return path;
}

std::string ReadWholeFile(const std::wstring& path) {
    // Shared for writing: the service may still hold its log open.
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return {};
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

void RemoveTree(const std::wstring& directory) {
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = directory + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(directory.c_str());
}

}  // namespace

std::wstring BinDir() {
    const char* value = std::getenv("VQ_BIN_DIR");
    std::string dir = value ? value : "";
    std::wstring result;
    if (!dir.empty() && dir[0] == '/')
        result = L"Z:";  // Wine's drive for the Unix root
    for (char c : dir)
        result += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return result;
}

std::wstring InBin(const std::wstring& file) { return BinDir() + L"\\" + file; }

ProcessResult Run(const std::wstring& commandLine, DWORD limitMs) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    wchar_t tempFile[MAX_PATH + 1] = {};
    GetTempFileNameW(TempDirectory().c_str(), L"vqo", 0, tempFile);
    {
        Handle output(CreateFileW(tempFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        Handle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                 0, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.get();
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        PROCESS_INFORMATION info{};
        std::wstring line = commandLine;
        const auto begin = std::chrono::steady_clock::now();
        if (testing_support::StartProcess(nullptr, line.data(), TRUE, CREATE_NO_WINDOW, &startup, &info)) {
            Handle process(info.hProcess);
            Handle thread(info.hThread);
            result.Started = true;
            if (WaitForSingleObject(info.hProcess, limitMs) != WAIT_OBJECT_0) {
                TerminateProcess(info.hProcess, 0xDEAD);
                WaitForSingleObject(info.hProcess, 5000);
                const std::string output = ReadWholeFile(tempFile);
                std::fprintf(stderr, "%ls gave no answer within %lu s; ended it. Its last output:\n%s\n",
                             commandLine.c_str(), static_cast<unsigned long>(limitMs / 1000),
                             output.substr(output.size() > 2000 ? output.size() - 2000 : 0).c_str());
            }
            GetExitCodeProcess(info.hProcess, &result.ExitCode);
            result.ElapsedMs = static_cast<DWORD>(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin)
                    .count());
        }
    }
    result.Output = ReadWholeFile(tempFile);
    DeleteFileW(tempFile);
    return result;
}

ProcessResult Diagctl(const std::wstring& arguments, DWORD limitMs) {
    return Run(L"\"" + InBin(L"diagctl.exe") + L"\" " + arguments, limitMs);
}

ProcessResult DiagctlStart(const std::wstring& arguments) {
    ProcessResult started;
    testing_support::RetrySpuriousStartError([&] {
        started = Diagctl(arguments.empty() ? L"start" : L"start " + arguments);
        return started.ExitCode == ERROR_INTERNAL_ERROR;
    });
    return started;
}

// --- trace configuration ---

TraceToFile::TraceToFile(const std::wstring& testName) : m_Directory(FreshDirectory(L"vq-e2e-log-" + testName)) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTraceKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    const DWORD enable = 2 | 4 | 8;  // info, warning, error
    const DWORD params = 1;           // the file sink, nothing else
    RegSetValueExW(key, L"EnableMask", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    RegSetValueExW(key, L"ParamsMask", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&params), sizeof params);
    RegSetValueExW(key, L"TracePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_Directory.c_str()),
                   static_cast<DWORD>((m_Directory.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

TraceToFile::~TraceToFile() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTraceKey); }

std::string TraceToFile::Text() const { return ReadWholeFile(LogPath()); }

std::vector<std::string> TraceToFile::Lines() const {
    std::vector<std::string> lines;
    std::istringstream stream(Text());
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void TraceToFile::Clear() const { DeleteFileW(LogPath().c_str()); }

bool TraceToFile::WaitFor(const std::string& fragment, DWORD limitMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (Text().find(fragment) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

int FindLine(const std::vector<std::string>& lines, const std::string& fragment, int from) {
    for (int i = from < 0 ? 0 : from; i < static_cast<int>(lines.size()); ++i)
        if (lines[static_cast<size_t>(i)].find(fragment) != std::string::npos)
            return i;
    return -1;
}

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& fragments) {
    int at = 0;
    for (const auto& fragment : fragments) {
        const int found = FindLine(lines, fragment, at);
        if (found < 0)
            return false;
        at = found + 1;
    }
    return true;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

// --- service registration ---

ServiceRegistration::ServiceRegistration(const std::wstring& exePath) {
    Diagctl(L"uninstall");  // a leftover of an earlier, interrupted run
    const std::wstring source = exePath.empty() ? InBin(L"ReRiruRuvazor.exe") : exePath;
    const size_t name = source.find_last_of(L"\\/") + 1;
    const std::wstring directory = FreshDirectory(L"vq-e2e-service");
    m_Executable = directory + L"\\" + source.substr(name);
    CopyInto(source, m_Executable);
    for (const wchar_t* companion : {L"VqError.dll", L"vq_fake_reg.exe", L"reg.exe"})
        CopyInto(source.substr(0, name) + companion, directory + L"\\" + companion);
    const ProcessResult installed = Diagctl(L"install \"" + m_Executable + L"\"");
    m_Installed = installed.Started && installed.ExitCode == 0;
}

ServiceRegistration::~ServiceRegistration() { Diagctl(L"uninstall"); }

bool QueryStatus(SERVICE_STATUS& status) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return false;
    const SC_HANDLE service = OpenServiceW(manager, kService, SERVICE_QUERY_STATUS);
    const bool ok = service && QueryServiceStatus(service, &status);
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

bool WaitStopped(SERVICE_STATUS& status, DWORD limitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        if (QueryStatus(status) && status.dwCurrentState == SERVICE_STOPPED)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string ServicesLog() {
    wchar_t prefix[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH) == 0) return {};
    std::wstring path = std::wstring(L"Z:") + prefix + L"/services.log";
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    std::ifstream file(std::string(path.begin(), path.end()), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::wstring FreshDirectory(const std::wstring& name) {
    const std::wstring directory = TempDirectory() + L"\\" + name;
    RemoveTree(directory);
    CreateDirectoryW(directory.c_str(), nullptr);
    return directory;
}

bool CopyInto(const std::wstring& source, const std::wstring& target) {
    return CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE;
}

}  // namespace e2e
