#include "status_text.h"

#include "base/VqError.h"
#include "common/winapi_wrappers.h"
#include "diagproto.h"
#include "errortext.h"

namespace diagctl {
namespace {

std::wstring ExitCodeLine(const wchar_t* which, DWORD code, const std::wstring& text) {
    return std::wstring(L"  ") + which + L" exit code " + CodeAndText(code, text) + L"\n";
}

}  // namespace

std::wstring ExitCodeWords(DWORD code, bool serviceSpecific) {
    if (serviceSpecific && code == 0xFFFFFFFF)
        return L"not a code of the service's own: it has none; the win32 exit code says why it stopped";
    if (code == VqBase::kAssertionFailure)
        return L"an assertion of the service failed; its trace has the E> line";
    return L"no message table has a text for this code";
}

std::wstring ExitPairMeaning(DWORD win32ExitCode, DWORD serviceExitCode) {
    if (serviceExitCode == 0) {
        switch (win32ExitCode) {
        case ERROR_SUCCESS: return L"the last run ended normally: after a Quit request, or stopped";
        case ERROR_SERVICE_NEVER_STARTED:
            return L"the service has not run since it was installed (or since the service control manager started)";
        case ERROR_SHUTDOWN_IN_PROGRESS: return L"the last run was ended by the system's shutdown";
        default: break;
        }
    }
    switch (win32ExitCode) {
    case ERROR_ACCESS_DENIED:
        return L"the channel was refused before any request was read: one of its objects was not made by "
               L"LocalSystem or the Administrators, or others may change it (the trace's E> line names it)";
    case ERROR_INVALID_DATA:
        return L"a request was refused (an unknown kind, a Quit with data, a malformed export list); it got "
               L"result 13";
    case ERROR_INVALID_PARAMETER: return L"an export request came without any pair";
    case ERROR_BAD_ARGUMENTS: return L"the service was started with start parameters; it takes none";
    default:
        return L"the last run failed: a wait on the channel failed, or an unexpected error reached the service "
               L"(668: a broken assertion); the trace has the E> line";
    }
}

int StatusExitCode(const ServiceFacts& facts) {
    if (facts.State != SERVICE_STOPPED)
        return diagproto::kExitSuccess;
    const bool clean = facts.ServiceExitCode == 0 && (facts.Win32ExitCode == ERROR_SUCCESS ||
                                                      facts.Win32ExitCode == ERROR_SERVICE_NEVER_STARTED);
    return clean ? diagproto::kExitSuccess : diagproto::kExitStoppedAfterFailure;
}

std::wstring StartTypeName(DWORD startType) {
    switch (startType) {
    case SERVICE_BOOT_START: return L"boot";
    case SERVICE_SYSTEM_START: return L"system";
    case SERVICE_AUTO_START: return L"automatic";
    case SERVICE_DEMAND_START: return L"demand";
    case SERVICE_DISABLED: return L"disabled";
    default: return std::to_wstring(startType);
    }
}

std::wstring ServiceSidTypeName(DWORD type) {
    switch (type) {
    case SERVICE_SID_TYPE_NONE: return L"none";
    case SERVICE_SID_TYPE_UNRESTRICTED: return L"unrestricted";
    case SERVICE_SID_TYPE_RESTRICTED: return L"restricted";
    default: return std::to_wstring(type);
    }
}

std::wstring UnquotedPathHijack(const std::wstring& imagePath) {
    if (imagePath.empty() || imagePath[0] == L'"')
        return std::wstring();
    // The program ends after the first ".exe" that ends the path or a word;
    // without one, the whole path is taken for the program.
    size_t end = imagePath.size();
    for (size_t at = 0; at + 4 <= imagePath.size(); ++at) {
        const bool exe = CompareStringOrdinal(imagePath.c_str() + at, 4, L".exe", 4, TRUE) == CSTR_EQUAL;
        if (exe && (at + 4 == imagePath.size() || imagePath[at + 4] == L' ' || imagePath[at + 4] == L'\t')) {
            end = at + 4;
            break;
        }
    }
    const size_t blank = imagePath.find_first_of(L" \t");
    if (blank == std::wstring::npos || blank >= end)
        return std::wstring();
    return imagePath.substr(0, blank) + L".exe";
}

std::wstring FormatStatus(const std::wstring& service, const ServiceFacts& facts) {
    std::wstring text = service + L": " + Winapi::Service::StateName(facts.State) + L", win32 exit code " +
                        std::to_wstring(facts.Win32ExitCode) + L", service exit code " +
                        std::to_wstring(facts.ServiceExitCode) + L" (" + HexCode(facts.ServiceExitCode) + L")\n";
    text += ExitCodeLine(L"win32", facts.Win32ExitCode, facts.Win32ExitText);
    text += ExitCodeLine(L"service", facts.ServiceExitCode, facts.ServiceExitText);
    if (facts.State == SERVICE_STOPPED)
        text += L"  meaning: " + ExitPairMeaning(facts.Win32ExitCode, facts.ServiceExitCode) + L"\n";
    if (facts.ProcessId != 0)
        text += L"  process id: " + std::to_wstring(facts.ProcessId) + L"\n";
    if (facts.HasConfig) {
        text += L"  start type: " + StartTypeName(facts.StartType) + L"\n";
        text += L"  image path: " + facts.ImagePath + L"\n";
        const std::wstring hijack = UnquotedPathHijack(facts.ImagePath);
        if (!hijack.empty())
            text += L"  warning: the image path is not quoted and holds a blank: Windows tries " + hijack +
                    L" first (the unquoted service path weakness); store the path in quotes\n";
        text += L"  display name: " + facts.DisplayName + L"\n";
        constexpr wchar_t kNotKept[] = L"not kept by this platform";
        std::wstring privileges;
        if (facts.RequiredPrivileges)
            for (const auto& name : *facts.RequiredPrivileges)
                privileges += (privileges.empty() ? L"" : L", ") + name;
        text += L"  required privileges: " +
                (facts.RequiredPrivileges ? (privileges.empty() ? L"all of the account's" : privileges) : kNotKept) +
                L"\n";
        text += L"  service SID type: " +
                (facts.ServiceSidType ? ServiceSidTypeName(*facts.ServiceSidType) : std::wstring(kNotKept)) + L"\n";
    }
    return text;
}

JsonObject StatusJson(const std::wstring& service, const ServiceFacts& facts) {
    JsonObject json;
    json.String(L"kind", L"status").String(L"service", service).Bool(L"installed", true);
    json.String(L"state", Winapi::Service::StateName(facts.State)).Number(L"stateCode", facts.State);
    json.Object(L"win32ExitCode", CodeJson(facts.Win32ExitCode, facts.Win32ExitText));
    json.Object(L"serviceExitCode", CodeJson(facts.ServiceExitCode, facts.ServiceExitText));
    json.StringOrNull(L"meaning", facts.State == SERVICE_STOPPED
                                      ? ExitPairMeaning(facts.Win32ExitCode, facts.ServiceExitCode)
                                      : std::wstring());
    if (facts.ProcessId != 0)
        json.Number(L"processId", facts.ProcessId);
    else
        json.Null(L"processId");
    if (facts.HasConfig) {
        json.String(L"startType", StartTypeName(facts.StartType)).String(L"imagePath", facts.ImagePath);
        json.StringOrNull(L"unquotedPathTriedFirst", UnquotedPathHijack(facts.ImagePath));
        json.String(L"displayName", facts.DisplayName);
    }
    if (facts.RequiredPrivileges)
        json.Raw(L"requiredPrivileges", JsonStrings(*facts.RequiredPrivileges));
    else
        json.Null(L"requiredPrivileges");
    if (facts.ServiceSidType)
        json.Number(L"serviceSidType", *facts.ServiceSidType);
    else
        json.Null(L"serviceSidType");
    return json.Number(L"exitCode", static_cast<DWORD>(StatusExitCode(facts)));
}

}  // namespace diagctl
