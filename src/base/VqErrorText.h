#pragma once
// The error text lookup: the description of a code from the platform's or
// the product's message table in the product language, the message-module
// routing, the product language from the registry, and the registry
// functions the lookup binds at run time.
#include <windows.h>

#include <string>

#include "base/VqRegistrySettings.h"

namespace VqBase {

// The product's default message language (Russian, as used in Russia).
inline constexpr DWORD kDefaultMessageLanguage = 0x0419;

// The description of a code; 0xFFFFFFFF stands for the thread's last error.
// Never fails: at worst the numeric text.
std::wstring GetErrorText(DWORD code);

// The message module for a code, loaded as a data file and image resource
// from MessageModulePath, or null (no module for the code, or it did not
// load); the caller frees it with FreeLibrary.
HMODULE OpenMessageModule(DWORD code);

// The module name that a code is routed to, or null for the system table.
const wchar_t* MessageModuleName(DWORD code);

// The full path of a code's message module: VqError.dll in ownDirectory (the
// directory of the running program), the platform's modules in
// systemDirectory. Empty when the code has no module or that directory is
// empty: a module is never looked for along the search path, where anyone
// may plant one.
std::wstring MessageModulePath(DWORD code, const std::wstring& ownDirectory, const std::wstring& systemDirectory);

// The text of a code from the module (or, when it is null, from the system
// table) in the product language, else the language-neutral search, else
// the numeric text; cut at its last CR and cleaned of insert marks.
std::wstring FormatErrorText(DWORD code, HMODULE module);

// The product language (cached for the process; 0x0419 by default).
DWORD GetMessageLanguage();

// The language a locale name stands for: a name of five characters that
// Windows knows (en-US, ru-RU); 0 for any other. The one rule for the value
// the service reads, for diagctl locale set and for the package's
// PRODUCTLOCALE.
DWORD LanguageOfLocaleName(const std::wstring& name);

// The language that the "ProductLocale" of subKey under root names, without
// the cache: 0x0419 when it cannot be read or is not a known locale name.
DWORD LanguageFromProductLocale(HKEY root, const wchar_t* subKey = kProductKey);

// Reads "ProductLocale" of subKey under root into buffer (a five-character
// locale name and its terminator; *length in characters, 6 on return).
// Returns 0, 87 for a null buffer or length, 13 for a wrong type or length,
// 122 when *length is below 6, else the failed registry call's status.
DWORD ReadProductLocale(HKEY root, wchar_t* buffer, DWORD* length, const wchar_t* subKey = kProductKey);

// --- Pure parts of the lookup ---

// "0x%08X (%d)" of the code: the decimal part reads it as signed.
std::wstring NumericErrorText(DWORD code);

// Ends the text at its last carriage return; a text without one stays whole.
void CutAtLastCarriageReturn(std::wstring& text);

// Deletes every percent sign with the character after it, and a blank after
// that; a percent sign at the end goes alone.
void RemoveInsertMarks(std::wstring& text);

// --- Registry functions bound at run time from "Advapi32.dll" ---

// Same parameters and results as the platform functions; each returns 127
// (ERROR_PROC_NOT_FOUND) and does nothing when it cannot be resolved.
namespace BoundRegistry {
LSTATUS RegOpenKeyExW(HKEY root, const wchar_t* subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegQueryValueExW(HKEY key, const wchar_t* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);
LSTATUS RegCloseKey(HKEY key);
}  // namespace BoundRegistry

// Holds one open key or none, closed through the bound RegCloseKey.
class CRegistryKey {
public:
    CRegistryKey() = default;
    ~CRegistryKey() { Close(); }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Closes the key held, then opens the new one; the status of the open.
    LSTATUS Open(HKEY root, const wchar_t* subKey, DWORD options, REGSAM access);
    void Close();
    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

}  // namespace VqBase
