#pragma once
// What is installed of the product, for --version and collect: the service's
// executable (the program its registration names) with its file version,
// and the Windows Installer package with its product version.
#include <windows.h>

#include <string>

#include "json.h"

namespace diagctl {

// The package's UpgradeCode (packaging/ReRiruRuvazor.wxs): the same for
// every version, it finds whichever version is installed.
inline constexpr wchar_t kPackageUpgradeCode[] = L"{D720AD1C-5A26-4E80-9D5F-52FAA7F4FEFD}";

struct InstalledVersions {
    std::wstring ServicePath;         // empty: no service registered, or its registration unreadable
    std::wstring ServiceFileVersion;  // empty: the file's version could not be read
    DWORD ServiceError = 0;           // why one of the two is empty (1060: not installed)
    std::wstring PackageVersion;      // empty: no package of the product is installed
    std::wstring PackageCode;         // the installed package's product code
};

InstalledVersions ReadInstalledVersions();

// "MAJOR.MINOR.BUILD" of a file's version resource (".REVISION" when not 0);
// empty, with the reason in the last error, when it has none.
std::wstring FileVersionOf(const std::wstring& path);

// What --version prints: own is diagctl's version.
std::wstring VersionsText(const std::wstring& own, const InstalledVersions& installed);
JsonObject VersionsJson(const std::wstring& own, const InstalledVersions& installed);

}  // namespace diagctl
