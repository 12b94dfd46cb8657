#include "installed.h"

#include <msi.h>

#include <vector>

#include "errortext.h"
#include "package_steps.h"
#include "scm.h"

namespace diagctl {
namespace {

void ReadService(InstalledVersions& installed) {
    ScHandle manager = OpenManager(SC_MANAGER_CONNECT);
    ScHandle service = manager ? OpenProductService(manager.get(), SERVICE_QUERY_CONFIG) : ScHandle();
    ServiceFacts facts;
    if (!service || !QueryConfig(service.get(), facts)) {
        installed.ServiceError = GetLastError();
        return;
    }
    installed.ServicePath = ImageProgram(facts.ImagePath);
    installed.ServiceFileVersion = FileVersionOf(installed.ServicePath);
    if (installed.ServiceFileVersion.empty())
        installed.ServiceError = GetLastError();
}

void ReadPackage(InstalledVersions& installed) {
    // A product code is a GUID in braces: 38 characters and the NUL.
    wchar_t product[39] = {};
    if (MsiEnumRelatedProductsW(kPackageUpgradeCode, 0, 0, product) != ERROR_SUCCESS)
        return;
    wchar_t version[64] = {};
    DWORD length = static_cast<DWORD>(std::size(version));
    if (MsiGetProductInfoW(product, INSTALLPROPERTY_VERSIONSTRING, version, &length) != ERROR_SUCCESS)
        return;
    installed.PackageCode = product;
    installed.PackageVersion = version;
}

}  // namespace

InstalledVersions ReadInstalledVersions() {
    InstalledVersions installed;
    ReadService(installed);
    ReadPackage(installed);
    return installed;
}

std::wstring FileVersionOf(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return std::wstring();
    std::vector<BYTE> data(size);
    void* value = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        if (GetLastError() == ERROR_SUCCESS)
            SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return std::wstring();
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    std::wstring text = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                        std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                        std::to_wstring(HIWORD(fixed->dwFileVersionLS));
    if (LOWORD(fixed->dwFileVersionLS) != 0)
        text += L"." + std::to_wstring(LOWORD(fixed->dwFileVersionLS));
    return text;
}

std::wstring VersionsText(const std::wstring& own, const InstalledVersions& installed) {
    std::wstring text = L"diagctl " + own + L"\n";
    if (installed.ServicePath.empty())
        text += L"service: " + std::wstring(installed.ServiceError == ERROR_SERVICE_DOES_NOT_EXIST
                                                ? L"not installed"
                                                : L"unknown: " + DescribeError(installed.ServiceError)) +
                L"\n";
    else
        text += L"service: " +
                (installed.ServiceFileVersion.empty() ? L"no version: " + DescribeError(installed.ServiceError)
                                                      : installed.ServiceFileVersion) +
                L" (" + installed.ServicePath + L")\n";
    text += L"package: " +
            (installed.PackageVersion.empty() ? std::wstring(L"not installed (the service was installed by hand, "
                                                             L"or not at all)")
                                              : installed.PackageVersion + L" (product code " +
                                                    installed.PackageCode + L")") +
            L"\n";
    return text;
}

JsonObject VersionsJson(const std::wstring& own, const InstalledVersions& installed) {
    JsonObject service;
    service.Bool(L"installed", !installed.ServicePath.empty())
        .StringOrNull(L"path", installed.ServicePath)
        .StringOrNull(L"fileVersion", installed.ServiceFileVersion);
    if (installed.ServiceError != ERROR_SUCCESS)
        service.Object(L"error", CodeJson(installed.ServiceError, ErrorText(installed.ServiceError)));
    else
        service.Null(L"error");
    return JsonObject()
        .String(L"kind", L"version")
        .String(L"diagctl", own)
        .Object(L"service", service)
        .Object(L"package", JsonObject()
                                .Bool(L"installed", !installed.PackageVersion.empty())
                                .StringOrNull(L"productVersion", installed.PackageVersion)
                                .StringOrNull(L"productCode", installed.PackageCode));
}

}  // namespace diagctl
