#include "status_text.h"

#include "common/winapi_wrappers.h"
#include "errortext.h"

namespace diagctl {
namespace {

std::wstring ExitCodeLine(const wchar_t* which, DWORD code, const std::wstring& text) {
    return std::wstring(L"  ") + which + L" exit code " + CodeAndText(code, text) + L"\n";
}

}  // namespace

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

}  // namespace diagctl
