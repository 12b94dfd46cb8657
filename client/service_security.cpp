#include "service_security.h"

#include <iterator>

#include "ReRiruRuvazor.h"
#include "console.h"
#include "errortext.h"

namespace diagctl {

std::wstring RequiredPrivilegesText() {
    std::wstring text;
    for (const wchar_t* name : kKeptPrivileges) {
        text += name;
        text += L'\0';
    }
    text += L'\0';
    return text;
}

std::vector<std::wstring> MultiStringNames(const wchar_t* text) {
    std::vector<std::wstring> names;
    for (const wchar_t* name = text; name != nullptr && *name != L'\0'; name += names.back().size() + 1)
        names.emplace_back(name);
    return names;
}

DWORD DeclareServiceSecurity(SC_HANDLE service, bool* kept) {
    std::wstring privileges = RequiredPrivilegesText();
    SERVICE_REQUIRED_PRIVILEGES_INFOW required{privileges.data()};
    // Unrestricted: the token carries NT SERVICE\ReRiruRuvazor, so that an
    // administrator can grant the service alone access to an object.
    SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
    const struct {
        DWORD Level;
        void* Info;
    } declared[] = {{SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required}, {SERVICE_CONFIG_SERVICE_SID_INFO, &sid}};
    bool refused = false;
    for (const auto& item : declared) {
        if (ChangeServiceConfig2W(service, item.Level, item.Info)) continue;
        const DWORD error = GetLastError();
        if (error != ERROR_INVALID_LEVEL) return error;
        refused = true;
    }
    if (kept) *kept = !refused;
    if (refused)
        Out(L"note: this platform's service control manager keeps no required privileges or service SID (" +
            DescribeError(ERROR_INVALID_LEVEL) + L"); the service removes every privilege but the ones it uses "
                                                 L"itself as it starts\n");
    return ERROR_SUCCESS;
}

void QueryServiceSecurity(SC_HANDLE service, ServiceFacts& facts) {
    auto query = [service](DWORD level, std::vector<BYTE>& buffer) {
        DWORD needed = 0;
        QueryServiceConfig2W(service, level, nullptr, 0, &needed);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return false;
        buffer.assign(needed, 0);
        return QueryServiceConfig2W(service, level, buffer.data(), needed, &needed) != FALSE;
    };
    std::vector<BYTE> buffer;
    facts.RequiredPrivileges.reset();
    facts.ServiceSidType.reset();
    if (query(SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, buffer))
        facts.RequiredPrivileges = MultiStringNames(
            reinterpret_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOW*>(buffer.data())->pmszRequiredPrivileges);
    if (query(SERVICE_CONFIG_SERVICE_SID_INFO, buffer))
        facts.ServiceSidType = reinterpret_cast<const SERVICE_SID_INFO*>(buffer.data())->dwServiceSidType;
}

}  // namespace diagctl
