#include "error_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "child_process.h"

namespace error_test {

namespace {
constexpr wchar_t kChildVariable[] = L"VQ_ERROR_TEST_CHILD";
}

TestKey::TestKey() {
    m_Path = L"SOFTWARE\\VqErrorTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_Path.c_str(), 0, nullptr, 0, kWriteAccess, nullptr, &key, nullptr) ==
        ERROR_SUCCESS)
        m_hKey = key;
}

TestKey::~TestKey() {
    if (!m_hKey) return;
    RegCloseKey(m_hKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_Path.c_str());
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, m_Path.c_str(), KEY_WOW64_64KEY, 0);
}

LSTATUS TestKey::Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    return RegSetValueExW(m_hKey, name, 0, type, static_cast<const BYTE*>(data), size);
}

LSTATUS TestKey::SetString(const wchar_t* name, DWORD type, const std::wstring& text) {
    return Set(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool KeyExists(const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

LSTATUS SetProductLocale(DWORD type, const std::wstring& text) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, kWriteAccess, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(key, L"ProductLocale", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

void DeleteProductKey() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kProductKey, KEY_WOW64_64KEY, 0);
    // Fails, and so keeps the vendor key, while it still has sub-keys.
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kVendorKey, KEY_WOW64_64KEY, 0);
}

bool IsChild() { return GetEnvironmentVariableW(kChildVariable, nullptr, 0) != 0; }

void FinishChild() {
    if (testing::Test::HasFailure()) return;
    std::fflush(stdout);
    ExitProcess(kChildPassed);
}

DWORD RunChild(const wchar_t* test, const std::wstring& exe) {
    const std::wstring program = exe.empty() ? ModulePath() : exe;
    std::wstring commandLine = L"\"" + program + L"\" --gtest_filter=ChildProcess." + test;

    SetEnvironmentVariableW(kChildVariable, L"1");
    // A copy elsewhere runs in its own folder: the module search includes the
    // current directory, which must not hand it what its folder lacks.
    std::wstring directory;
    if (!exe.empty()) directory = exe.substr(0, exe.find_last_of(L"\\/"));
    testing_support::Child child;
    const bool started = child.Start(commandLine, 0, true, program.c_str(), directory.empty() ? nullptr : directory.c_str());
    SetEnvironmentVariableW(kChildVariable, nullptr);
    if (!started) return ~0u;
    const std::wstring name(test);
    if (!child.Wait("the child test " + std::string(name.begin(), name.end()))) return ~0u;
    if (child.ExitCode() != kChildPassed) std::fprintf(stderr, "%s", child.Output().c_str());
    return child.ExitCode();
}

}  // namespace error_test
