#include "channel_support.h"

#include "child_process.h"
#include "module_path.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace channel_test {

std::wstring UniqueName(const std::wstring& tag) {
    static std::atomic<unsigned> counter{0};
    return L"h4." + tag + L"." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
}

DiagService::ChannelNames ServiceNames(const diagctl::ChannelNames& names) {
    DiagService::ChannelNames result;
    result.Section = names.Section;
    result.DoWork = names.DoWork;
    result.WorkDone = names.WorkDone;
    return result;
}

Harness::Harness(DWORD sectionSize, DiagService::ProcessStarter starter)
    : Names(diagctl::PrefixedChannelNames(UniqueName(L"channel"))) {
    std::wstring message;
    Tool = diagctl::Channel::Create(Names, sectionSize, message);
    if (!Tool)
        throw std::runtime_error("cannot create the test channel");
    Service = std::make_unique<DiagService>(ServiceNames(Names), std::move(starter));
}

void Harness::Write(const std::vector<std::uint8_t>& request) {
    std::fill(Bytes(), Bytes() + Tool->Size(), std::uint8_t{0});
    std::copy(request.begin(), request.end(), Bytes());
}

std::wstring BesideSelf(const std::wstring& fileName) { return testing_support::ModuleDirectory() + fileName; }

bool StartStandIn(const std::wstring& arguments, PROCESS_INFORMATION* info) {
    const std::wstring program = BesideSelf(L"vq_stand_in.exe");
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    // The stand-in is test scaffolding: a start that Wine fails spuriously is
    // tried again rather than letting that fault decide a test.
    *info = PROCESS_INFORMATION{};
    return testing_support::StartProcess(program.c_str(), commandLine.data(), FALSE, DETACHED_PROCESS, &startup,
                                         info) != FALSE;
}

DiagService::ProcessStarter FakeLauncher::Starter() {
    return [this](wchar_t* commandLine, PROCESS_INFORMATION* info) { return Start(commandLine, info); };
}

bool FakeLauncher::Start(wchar_t* commandLine, PROCESS_INFORMATION* info) {
    size_t index;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        index = m_CommandLines.size();
        m_CommandLines.emplace_back(commandLine);
    }
    if (std::find(FailAt.begin(), FailAt.end(), index) != FailAt.end()) {
        SetLastError(FailError);
        return false;
    }
    const std::wstring arguments =
        Sleep ? L"sleep " + std::to_wstring(GetCurrentProcessId()) : L"exit " + std::to_wstring(FirstExitCode + index);
    if (!StartStandIn(arguments, info))
        return false;
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Threads.push_back(info->hThread);
    m_Processes.push_back(info->hProcess);
    return true;
}

std::vector<std::wstring> FakeLauncher::CommandLines() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_CommandLines;
}

std::vector<HANDLE> FakeLauncher::ThreadHandles() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Threads;
}

std::vector<HANDLE> FakeLauncher::ProcessHandles() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Processes;
}

size_t FakeLauncher::Starts() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_CommandLines.size();
}

DiagService::ProcessStarter FailingLauncher() {
    return [](wchar_t*, PROCESS_INFORMATION*) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    };
}

namespace {

std::wstring Join(const std::wstring& base, const std::wstring& subKey) {
    return subKey.empty() ? base : base + L"\\" + subKey;
}

}  // namespace

TestKey::TestKey(const std::wstring& tag)
    : m_SubKey(L"Software\\ReRiruRuvazorTests\\" + UniqueName(tag)), m_Path(L"HKCU\\" + m_SubKey) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, m_SubKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

TestKey::~TestKey() { Delete(); }

void TestKey::Delete() { RegDeleteTreeW(HKEY_CURRENT_USER, m_SubKey.c_str()), RegDeleteKeyW(HKEY_CURRENT_USER, m_SubKey.c_str()); }

bool TestKey::SetString(const std::wstring& subKey, const std::wstring& name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, Join(m_SubKey, subKey).c_str(), name.c_str(), REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool TestKey::SetDword(const std::wstring& subKey, const std::wstring& name, DWORD value) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, Join(m_SubKey, subKey).c_str(), name.c_str(), REG_DWORD, &value,
                           sizeof(value)) == ERROR_SUCCESS;
}

bool TestKey::ReadString(const std::wstring& subKey, const std::wstring& name, std::wstring& value) const {
    wchar_t buffer[512] = {};
    DWORD size = sizeof(buffer);
    if (RegGetValueW(HKEY_CURRENT_USER, Join(m_SubKey, subKey).c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, buffer,
                     &size) != ERROR_SUCCESS)
        return false;
    value = buffer;
    return true;
}

bool TestKey::ReadDword(const std::wstring& subKey, const std::wstring& name, DWORD& value) const {
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_CURRENT_USER, Join(m_SubKey, subKey).c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr,
                        &value, &size) == ERROR_SUCCESS;
}

bool TestKey::Exists(const std::wstring& subKey) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, Join(m_SubKey, subKey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

TempPath::TempPath(const std::wstring& tag, const std::wstring& subdirectory) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    std::wstring directory = temp;
    if (!subdirectory.empty()) {
        m_Directory = directory + UniqueName(subdirectory);
        CreateDirectoryW(m_Directory.c_str(), nullptr);
        directory = m_Directory + L"\\";
    }
    m_Path = directory + UniqueName(tag) + L".reg";
}

TempPath::~TempPath() {
    DeleteFileW(m_Path.c_str());
    if (!m_Directory.empty())
        RemoveDirectoryW(m_Directory.c_str());
}

bool TempPath::Exists() const { return GetFileAttributesW(m_Path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::uint8_t> TempPath::ReadAll() const {
    std::vector<std::uint8_t> bytes;
    const HANDLE file = CreateFileW(m_Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    std::uint8_t buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read != 0)
        bytes.insert(bytes.end(), buffer, buffer + read);
    CloseHandle(file);
    return bytes;
}

DWORD RunAndWait(const std::wstring& commandLine, DWORD timeoutMs) {
    testing_support::Child child;
    if (!child.Start(commandLine) || !child.Wait(std::string(commandLine.begin(), commandLine.end()), timeoutMs))
        return 0xFFFFFFFF;
    return child.ExitCode();
}

std::string HandleText(HANDLE handle) {
    char text[17];
    std::snprintf(text, sizeof(text), "%016X",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle) & 0xFFFFFFFFu));
    return text;
}

std::vector<std::string> StartedProcessHandles(const std::vector<std::string>& lines) {
    std::vector<std::string> handles;
    for (const std::string& line : lines) {
        if (line.find("[Winapi::CreateProcess] CreateProcessW(") == std::string::npos)
            continue;
        const size_t ok = line.rfind("): ok, ");
        if (ok != std::string::npos)
            handles.push_back(line.substr(ok + 7, 16));
    }
    return handles;
}

}  // namespace channel_test
