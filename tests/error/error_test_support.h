#pragma once
// Registry keys and child processes for the error unit's tests.
#include "base/VqError.h"
#include "module_path.h"

#include <windows.h>

#include <string>
#include <vector>

namespace error_test {

using VqBase::kProductKey;

inline constexpr wchar_t kVendorKey[] = L"SOFTWARE\\Brenmoor";
inline constexpr REGSAM kWriteAccess = KEY_ALL_ACCESS | KEY_WOW64_64KEY;

// A key of its own under HKLM\SOFTWARE with a unique name, deleted with its
// values when the object goes.
class TestKey {
public:
    TestKey();
    ~TestKey();
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    const std::wstring& Path() const { return m_Path; }
    bool Created() const { return m_hKey != nullptr; }
    LSTATUS Set(const wchar_t* name, DWORD type, const void* data, DWORD size);
    LSTATUS SetString(const wchar_t* name, DWORD type, const std::wstring& text);  // stored with its NUL

private:
    std::wstring m_Path;
    HKEY m_hKey = nullptr;
};

bool KeyExists(const wchar_t* path);

// Writes "ProductLocale" of the product key (creating it).
LSTATUS SetProductLocale(DWORD type, const std::wstring& text);

// Deletes the product key, and the vendor key when nothing else is left in
// it; used on every way out of a test that wrote the product key.
void DeleteProductKey();

// True in the child process that a test started (see RunChild).
bool IsChild();

// The exit code with which a child reports that every check passed; a child
// whose filter matched no test exits 0 and so is not taken for a pass.
inline constexpr DWORD kChildPassed = 77;

// Ends a child test: exits with kChildPassed when it had no failure.
void FinishChild();

// Runs exe (this test program when empty) as a child with the gtest filter
// "ChildProcess.<test>"; returns its exit code, or ~0u when it could not be
// started or did not end within a minute.
DWORD RunChild(const wchar_t* test, const std::wstring& exe = {});

using testing_support::ModulePath;

}  // namespace error_test
