// Error text lookup: message-module routing, the product language from the
// registry and the cleaning of the texts that FormatMessageW returns.
#include "base/VqErrorText.h"

#include "base/VqModulePath.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <iterator>
#include <memory>
#include <mutex>
#include <type_traits>

namespace VqBase {

namespace {

constexpr wchar_t kProductModule[] = L"VqError.dll";
constexpr DWORD kLocaleNameLength = kProductLocale.Max + 1;  // the characters and the terminator
constexpr REGSAM kProductKeyAccess = KEY_READ | KEY_WOW64_64KEY;  // 0x20119

// Process-wide: 0 while not yet determined. Concurrent first lookups may each
// read the registry; they store the same value.
std::atomic<DWORD> g_MessageLanguage{0};

struct LibraryFree {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using ModuleOwner = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFree>;

struct LocalBufferFree {
    void operator()(wchar_t* buffer) const { LocalFree(buffer); }
};
using LocalBuffer = std::unique_ptr<wchar_t, LocalBufferFree>;

// "Advapi32.dll" is loaded at the first registry call and never released; a
// failed load is not tried again.
HMODULE Advapi32() {
    static std::once_flag once;
    static HMODULE module = nullptr;
    std::call_once(once, [] { module = LoadLibraryW(L"Advapi32.dll"); });
    return module;
}

// One bound function: resolved once at its first use, null for good when
// the library or the name is missing.
template <typename Fn>
Fn Resolve(std::once_flag& once, Fn& address, const char* name) {
    std::call_once(once, [&] {
        if (HMODULE module = Advapi32())
            address = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    });
    return address;
}

// The directory of the module that holds this code, without a trailing
// backslash; empty when its path cannot be read in full.
std::wstring OwnModuleDirectory() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            kProductModule, &self))
        return {};
    const std::wstring path = VqBase::ModulePath(self);
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring SystemDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH + 1);
    return length == 0 || length > MAX_PATH ? std::wstring() : std::wstring(buffer, length);
}

std::wstring InDirectory(const std::wstring& directory, const wchar_t* name) {
    if (directory.empty()) return {};
    const wchar_t last = directory.back();
    return directory + (last == L'\\' || last == L'/' ? L"" : L"\\") + name;
}

DWORD FormatFrom(DWORD flags, HMODULE module, DWORD code, DWORD language, LocalBuffer& text) {
    wchar_t* buffer = nullptr;
    // With ALLOCATE_BUFFER the "buffer" argument receives the allocation.
    const DWORD length = FormatMessageW(flags, module, code, language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    text.reset(buffer);
    return length;
}

}  // namespace

namespace BoundRegistry {

LSTATUS RegOpenKeyExW(HKEY root, const wchar_t* subKey, DWORD options, REGSAM access, PHKEY result) {
    static std::once_flag once;
    static decltype(&::RegOpenKeyExW) address = nullptr;
    auto fn = Resolve(once, address, "RegOpenKeyExW");
    return fn ? fn(root, subKey, options, access, result) : ERROR_PROC_NOT_FOUND;
}

LSTATUS RegQueryValueExW(HKEY key, const wchar_t* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
    static std::once_flag once;
    static decltype(&::RegQueryValueExW) address = nullptr;
    auto fn = Resolve(once, address, "RegQueryValueExW");
    return fn ? fn(key, name, reserved, type, data, size) : ERROR_PROC_NOT_FOUND;
}

LSTATUS RegCloseKey(HKEY key) {
    static std::once_flag once;
    static decltype(&::RegCloseKey) address = nullptr;
    auto fn = Resolve(once, address, "RegCloseKey");
    return fn ? fn(key) : ERROR_PROC_NOT_FOUND;
}

}  // namespace BoundRegistry

LSTATUS CRegistryKey::Open(HKEY root, const wchar_t* subKey, DWORD options, REGSAM access) {
    Close();
    HKEY key = nullptr;
    const LSTATUS status = BoundRegistry::RegOpenKeyExW(root, subKey, options, access, &key);
    if (status == ERROR_SUCCESS) m_hKey = key;
    return status;
}

void CRegistryKey::Close() {
    if (m_hKey) BoundRegistry::RegCloseKey(m_hKey);
    m_hKey = nullptr;
}

// --- Pure parts ---

const wchar_t* MessageModuleName(DWORD code) {
    if ((code & 0x06000000) == 0x06000000) return kProductModule;
    const DWORD page = code & 0xFFFFF000;
    if (page == 0x80005000 || page == 0x00005000) return L"ActiveDS.dll";
    if ((code & 0xFFFF0000) == 0xC0020000) return L"NtDll.dll";
    if ((code >= 0x80041001 && code <= 0x80041099) || (code >= 0x80042001 && code <= 0x80042003) ||
        (code >= 0x80044001 && code <= 0x80044031))
        return L"wbem\\wmiutils.dll";
    return nullptr;
}

std::wstring NumericErrorText(DWORD code) {
    wchar_t buffer[64] = L"0x00000000 (0)";
    std::swprintf(buffer, std::size(buffer), L"0x%08X (%d)", static_cast<unsigned>(code), static_cast<int>(code));
    return buffer;
}

void CutAtLastCarriageReturn(std::wstring& text) {
    const size_t cr = text.rfind(L'\r');
    if (cr != std::wstring::npos) text.erase(cr);
}

void RemoveInsertMarks(std::wstring& text) {
    for (size_t percent = text.find(L'%'); percent != std::wstring::npos; percent = text.find(L'%', percent)) {
        size_t count = std::min<size_t>(3, text.size() - percent);
        if (count == 3 && text[percent + 2] != L' ') count = 2;
        text.erase(percent, count);
    }
}

// --- Lookup ---

std::wstring MessageModulePath(DWORD code, const std::wstring& ownDirectory, const std::wstring& systemDirectory) {
    const wchar_t* name = MessageModuleName(code);
    if (!name) return {};
    return InDirectory(std::wcscmp(name, kProductModule) == 0 ? ownDirectory : systemDirectory, name);
}

HMODULE OpenMessageModule(DWORD code) {
    if (!MessageModuleName(code)) return nullptr;
    // Neither directory changes while the process runs.
    static const std::wstring ownDirectory = OwnModuleDirectory();
    static const std::wstring systemDirectory = SystemDirectory();
    const std::wstring path = MessageModulePath(code, ownDirectory, systemDirectory);
    if (path.empty()) return nullptr;
    // As a data file and image resource: only the resources are mapped and
    // none of its code runs.
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
}

std::wstring FormatErrorText(DWORD code, HMODULE module) {
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                        (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
    LocalBuffer buffer;
    DWORD length = FormatFrom(flags, module, code, GetMessageLanguage(), buffer);
    if (length == 0) length = FormatFrom(flags, module, code, 0, buffer);
    if (length == 0 || !buffer) return NumericErrorText(code);

    std::wstring text(buffer.get(), length);
    CutAtLastCarriageReturn(text);
    RemoveInsertMarks(text);
    return text;
}

std::wstring GetErrorText(DWORD code) {
    if (code == 0xFFFFFFFF) code = GetLastError();
    ModuleOwner module(OpenMessageModule(code));
    return FormatErrorText(code, module.get());
}

DWORD ReadProductLocale(HKEY root, wchar_t* buffer, DWORD* length, const wchar_t* subKey) {
    if (!buffer || !length) return ERROR_INVALID_PARAMETER;

    CRegistryKey key;
    if (const LSTATUS status = key.Open(root, subKey, 0, kProductKeyAccess)) return static_cast<DWORD>(status);

    wchar_t value[16] = {};
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (const LSTATUS status = BoundRegistry::RegQueryValueExW(key.Get(), kProductLocale.Name, nullptr, &type,
                                                              reinterpret_cast<BYTE*>(value), &size))
        return static_cast<DWORD>(status);

    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    // Six characters whose last is the terminator: a value stored without
    // its NUL is refused rather than copied unterminated.
    if (size / sizeof(wchar_t) != kLocaleNameLength || value[kLocaleNameLength - 1] != L'\0')
        return ERROR_INVALID_DATA;
    if (*length < kLocaleNameLength) {
        *length = kLocaleNameLength;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    *length = kLocaleNameLength;
    std::copy_n(value, kLocaleNameLength, buffer);
    return ERROR_SUCCESS;
}

DWORD LanguageOfLocaleName(const std::wstring& name) {
    return name.size() == kLocaleNameLength - 1 ? LocaleNameToLCID(name.c_str(), 0) : 0;
}

DWORD LanguageFromProductLocale(HKEY root, const wchar_t* subKey) {
    wchar_t name[8] = {};
    DWORD length = static_cast<DWORD>(std::size(name));
    DWORD language = 0;
    if (ReadProductLocale(root, name, &length, subKey) == ERROR_SUCCESS)
        language = LanguageOfLocaleName(std::wstring(name, kLocaleNameLength - 1));
    return language ? language : kDefaultMessageLanguage;
}

DWORD GetMessageLanguage() {
    DWORD language = g_MessageLanguage.load(std::memory_order_relaxed);
    if (language == 0) {
        language = LanguageFromProductLocale(HKEY_LOCAL_MACHINE);
        g_MessageLanguage.store(language, std::memory_order_relaxed);
    }
    return language;
}

}  // namespace VqBase
