#include "trace_test_support.h"

#include "child_process.h"
#include "module_path.h"
#include "base/VqLogNames.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace trace_test {

namespace {
const wchar_t kTestRoot[] = L"SOFTWARE\\VqTraceTest";

HKEY CreateKey(const std::wstring& path) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return nullptr;
    return key;
}
}  // namespace

std::wstring UniqueName(const wchar_t* prefix) {
    static std::atomic<unsigned> counter{0};
    return std::wstring(prefix) + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter) + L"_" + std::to_wstring(::GetTickCount64());
}

TestKey::TestKey() : m_Path(std::wstring(kTestRoot) + L"\\" + UniqueName(L"key")) {
    if (HKEY key = CreateKey(m_Path)) ::RegCloseKey(key);
}

TestKey::~TestKey() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_Path.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_Path.c_str());
}

void TestKey::SetRaw(const std::wstring& sub, const wchar_t* name, DWORD type, const void* data, DWORD size) const {
    HKEY key = CreateKey(sub.empty() ? m_Path : m_Path + L"\\" + sub);
    if (!key) return;
    ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    ::RegCloseKey(key);
}

void TestKey::SetNumber(const std::wstring& sub, const wchar_t* name, DWORD value) const {
    SetRaw(sub, name, REG_DWORD, &value, sizeof(value));
}

void TestKey::SetString(const std::wstring& sub, const wchar_t* name, const std::wstring& value) const {
    SetRaw(sub, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void FileConfig(const TestKey& key, const wchar_t* name, const std::wstring& dir, DWORD params) {
    key.SetNumber(name, L"EnableMask", VqBase::TL_INFO | VqBase::TL_WARNING | VqBase::TL_ERROR);
    key.SetNumber(name, L"ParamsMask", params);
    key.SetString(L"", L"TracePath", dir);
}

void CommonFileConfig(const TestKey& key, const wchar_t* name, const std::wstring& file, DWORD params) {
    FileConfig(key, name, file.substr(0, file.find_last_of(L'\\')), params);
    key.SetNumber(name, L"CommonFileFlag", 1);
    key.SetString(name, L"CommonFileName", file);
}


VqBase::TraceLocation MissingLocation() {
    return {HKEY_LOCAL_MACHINE, std::wstring(kTestRoot) + L"\\" + UniqueName(L"missing")};
}

TempDir::TempDir() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    m_Path = std::wstring(temp) + UniqueName(L"vqtrace");
    ::CreateDirectoryW(m_Path.c_str(), nullptr);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(m_Path), ignored);
}

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::wstring> FallbackFiles(const TempDir& dir, const std::wstring& name) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((dir / VqBase::FallbackFilePattern(name)).c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(search, &found))
        if (VqBase::IsFallbackFileName(name, found.cFileName)) names.push_back(found.cFileName);
    if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
    return names;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

void Trace(VqBase::CTraceImpl& impl, DWORD level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    impl.TraceVW(level, format, args);
    va_end(args);
}

void TraceNarrow(VqBase::CTraceImpl& impl, DWORD level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    impl.TraceVA(level, format, args);
    va_end(args);
}

EnvOverride::EnvOverride(const wchar_t* name, const wchar_t* value) : m_Name(name) {
    wchar_t buffer[4096];
    DWORD length = ::GetEnvironmentVariableW(name, buffer, 4096);
    m_Had = length != 0 && length < 4096;
    if (m_Had) m_Old.assign(buffer, length);
    ::SetEnvironmentVariableW(name, value);
}

EnvOverride::~EnvOverride() { ::SetEnvironmentVariableW(m_Name.c_str(), m_Had ? m_Old.c_str() : nullptr); }

namespace {
std::wstring ChildCommand(const std::wstring& mode) {
    return L"\"" + testing_support::ModulePath() + L"\" --gtest_filter=TraceChild.DISABLED_" + mode +
           L" --gtest_also_run_disabled_tests";
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
}  // namespace

std::unique_ptr<testing_support::Child> StartChild(const std::wstring& mode, DWORD creationFlags) {
    auto child = std::make_unique<testing_support::Child>();
    if (!child->Start(ChildCommand(mode), creationFlags | CREATE_NO_WINDOW)) child.reset();
    return child;
}

ChildResult RunChild(const std::wstring& mode, bool underDebugger, DWORD creationFlags) {
    ChildResult result;
    DWORD flags = creationFlags | (underDebugger ? DEBUG_ONLY_THIS_PROCESS : 0);
    const bool detached = (flags & DETACHED_PROCESS) != 0;
    if (!detached) flags |= CREATE_NO_WINDOW;
    testing_support::Child child;
    // A detached child must find itself without a console or handles.
    if (!child.Start(ChildCommand(mode), flags, !detached)) return result;
    const std::string what = "the child mode " + Narrow(mode);
    if (underDebugger) {
        const ULONGLONG deadline = ::GetTickCount64() + testing_support::kChildTimeoutMs;
        for (bool running = true; running;) {
            const ULONGLONG now = ::GetTickCount64();
            DEBUG_EVENT event = {};
            if (now >= deadline || !::WaitForDebugEvent(&event, static_cast<DWORD>(deadline - now))) {
                ::DebugActiveProcessStop(child.Id());
                child.GiveUp(what + " under a debugger", testing_support::kChildTimeoutMs);
                return result;
            }
            DWORD status = DBG_CONTINUE;
            switch (event.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT: {
                const auto& info = event.u.DebugString;
                std::string text(info.nDebugStringLength, '\0');
                SIZE_T read = 0;
                ::ReadProcessMemory(child.Process(), info.lpDebugStringData, text.data(), text.size(), &read);
                text.resize(read);
                while (!text.empty() && text.back() == '\0') text.pop_back();
                result.debugStrings.push_back(text);
                break;
            }
            case EXCEPTION_DEBUG_EVENT:
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                    status = DBG_EXCEPTION_NOT_HANDLED;
                break;
            case CREATE_PROCESS_DEBUG_EVENT:
                if (event.u.CreateProcessInfo.hFile) ::CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile) ::CloseHandle(event.u.LoadDll.hFile);
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                result.exitCode = event.u.ExitProcess.dwExitCode;
                running = false;
                break;
            default:
                break;
            }
            ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        }
    }
    if (child.Wait(what) && !underDebugger) result.exitCode = child.ExitCode();
    return result;
}

}  // namespace trace_test
