#pragma once
// What the service control manager is told of the service's security: the
// privileges it leaves in the service's token and an unrestricted service
// SID. diagctl install and the installer package declare the same, and
// diagctl status shows what the manager keeps.
#include <windows.h>

#include <string>
#include <vector>

#include "status_text.h"

namespace diagctl {

// The kept privileges as the multi-string SERVICE_REQUIRED_PRIVILEGES_INFOW
// takes: each name with its NUL, and one NUL more.
std::wstring RequiredPrivilegesText();
// The names of a multi-string; a null one has none.
std::vector<std::wstring> MultiStringNames(const wchar_t* text);

// Declares both through a service handle with SERVICE_CHANGE_CONFIG. A
// platform whose manager keeps neither (ERROR_INVALID_LEVEL) is said once on
// the standard output and is no failure: the service removes its privileges
// itself; kept (when given) says whether the manager keeps them. Returns 0 or
// the error of the call that failed.
DWORD DeclareServiceSecurity(SC_HANDLE service, bool* kept = nullptr);

// Fills facts' RequiredPrivileges and ServiceSidType from the manager
// (SERVICE_QUERY_CONFIG); nullopt where it keeps none or cannot say.
void QueryServiceSecurity(SC_HANDLE service, ServiceFacts& facts);

}  // namespace diagctl
