#include "product_locale.h"

#include <windows.h>

#include "base/VqErrorText.h"
#include "console.h"
#include "diagproto.h"
#include "errortext.h"
#include "usage.h"

namespace diagctl {
namespace {

const std::wstring kValue = L"HKLM\\" + std::wstring(VqBase::kProductKey) + L"\\ProductLocale";

std::wstring LanguageName(DWORD language) {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    return LCIDToLocaleName(language, name, LOCALE_NAME_MAX_LENGTH, 0) ? std::wstring(name) : std::wstring(L"?");
}

std::wstring Language(DWORD language) {
    return LanguageName(language) + L" (" + HexCode(language) + L")";
}

int Show(const CommandLine& line) {
    if (!line.Arguments.empty())
        return UsageError(line.Verb, L"locale show takes no arguments");
    wchar_t name[8] = {};
    DWORD length = static_cast<DWORD>(std::size(name));
    const DWORD read = VqBase::ReadProductLocale(HKEY_LOCAL_MACHINE, name, &length);
    const DWORD language = VqBase::LanguageFromProductLocale(HKEY_LOCAL_MACHINE);
    std::wstring text = kValue + L": ";
    if (read == ERROR_FILE_NOT_FOUND)
        text += L"not set";
    else if (read != ERROR_SUCCESS)
        text += L"counts as absent: " +
                (read == ERROR_INVALID_DATA || read == ERROR_MORE_DATA
                     ? std::wstring(L"not a string of five characters")
                     : DescribeError(read));
    else if (VqBase::LanguageOfLocaleName(std::wstring(name, 5)) == 0)
        text += L"\"" + std::wstring(name) + L"\" counts as absent: Windows knows no such locale name";
    else
        text += std::wstring(name);
    text += L"\nerror texts of every program of the product are in " + Language(language) +
            (language == VqBase::kDefaultMessageLanguage && read != ERROR_SUCCESS ? L", the default" : L"") +
            L", from each program's next start\n";
    Out(text);
    return diagproto::kExitSuccess;
}

int Set(const CommandLine& line) {
    if (line.Arguments.size() != 1)
        return UsageError(line.Verb, L"locale set needs one NAME");
    const std::wstring& name = line.Arguments[0];
    const DWORD language = VqBase::LanguageOfLocaleName(name);
    if (language == 0)
        return UsageError(line.Verb, L"bad NAME \"" + name +
                                         L"\": a locale name of five characters that Windows knows, such as en-US "
                                         L"or ru-RU, is needed (nothing was written)");
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, VqBase::kProductKey, 0, nullptr, 0,
                                     KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, L"ProductLocale", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                                static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        return ReportFailure(L"writing " + kValue, static_cast<DWORD>(status));
    Out(L"wrote " + kValue + L" = " + name + L": error texts of every program of the product are in " +
        Language(language) + L" from each program's next start (restart the service)\n");
    return diagproto::kExitSuccess;
}

}  // namespace

bool IsLocaleVerb(const std::wstring& verb) { return verb == L"locale show" || verb == L"locale set"; }

int RunLocaleVerb(const CommandLine& line) { return line.Verb == L"locale show" ? Show(line) : Set(line); }

}  // namespace diagctl
