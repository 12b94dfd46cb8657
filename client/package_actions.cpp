// VqSetup.dll: the custom action of the installer package that checks what
// the package is given before it changes anything. Windows Installer runs it
// from the package's Binary table, immediately, ahead of InstallValidate:
// Wine's msiexec has no rollback, so a value refused later would leave half
// an install behind.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "base/VqErrorText.h"

namespace {

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
    DWORD length = 0;
    wchar_t none[1] = {};
    if (MsiGetPropertyW(install, name, none, &length) != ERROR_MORE_DATA)
        return std::wstring();
    std::wstring value(++length, L'\0');  // the terminator too
    if (MsiGetPropertyW(install, name, value.data(), &length) != ERROR_SUCCESS)
        return std::wstring();
    value.resize(length);
    return value;
}

}  // namespace

// PRODUCTLOCALE, when given, must be what the service takes for its
// ProductLocale: a locale name of five characters that Windows knows. Else
// the install fails here with a message in its log and on its screen.
extern "C" __declspec(dllexport) UINT __stdcall CheckProductLocale(MSIHANDLE install) {
    const std::wstring value = Property(install, L"PRODUCTLOCALE");
    if (value.empty() || VqBase::LanguageOfLocaleName(value) != 0)
        return ERROR_SUCCESS;
    const std::wstring text = L"PRODUCTLOCALE=\"" + value +
                              L"\" is not a locale name of five characters that Windows knows (such as en-US or "
                              L"ru-RU). Nothing was installed or changed.";
    PMSIHANDLE record = MsiCreateRecord(0);  // closed when it goes
    MsiRecordSetStringW(record, 0, text.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_ERROR, record);
    return ERROR_INSTALL_FAILURE;
}
