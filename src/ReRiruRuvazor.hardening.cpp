// What the service gives up before it serves a request: the privileges it
// does not use, DLLs from places it does not trust, and any export process
// that would outlive it. Whatever code runs in the service or in a reg.exe it
// started would otherwise hold the whole of LocalSystem's token.
#include "ReRiruRuvazor.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "base/VqOwners.h"
#include "base/VqTrace.h"
#include "common/winapi_wrappers.h"

using VqBase::GetTrace;
using VqBase::TL_INFO;
using VqBase::TL_WARNING;

namespace {

constexpr wchar_t kTrim[] = L"DiagService::Hardening::TrimPrivileges";
constexpr wchar_t kMitigations[] = L"DiagService::Hardening::ApplyMitigations";

bool IsKept(const std::wstring& name) {
    return std::any_of(std::begin(kKeptPrivileges), std::end(kKeptPrivileges), [&](const wchar_t* kept) {
        return CompareStringOrdinal(name.c_str(), -1, kept, -1, TRUE) == CSTR_EQUAL;
    });
}

std::wstring Joined(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (const auto& name : names)
        text += (text.empty() ? L"" : L", ") + name;
    return text.empty() ? L"none" : text;
}

DiagService::Hardening::Trimmed Failed(const wchar_t* step) {
    DiagService::Hardening::Trimmed result;
    result.Error = Winapi::GetLastError();
    // A call that failed without saying why must still count as a failure.
    if (result.Error == ERROR_SUCCESS) result.Error = ERROR_INVALID_FUNCTION;
    result.Step = step;
    return result;
}

}  // namespace

std::vector<std::wstring> DiagService::Hardening::PrivilegesToRemove(const std::vector<std::wstring>& held) {
    std::vector<std::wstring> removed;
    for (const auto& name : held)
        if (!IsKept(name)) removed.push_back(name);
    return removed;
}

DiagService::Hardening::Trimmed DiagService::Hardening::TrimPrivileges(HANDLE token) {
    std::vector<BYTE> buffer;
    if (!Winapi::GetTokenInformation(token, TokenPrivileges, buffer)) return Failed(L"reading the token's privileges");
    const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());

    // The same buffer, rewritten: every privilege to go is marked removed and
    // moved to the front, in the token's order.
    std::vector<BYTE> request(buffer);
    auto* removing = reinterpret_cast<TOKEN_PRIVILEGES*>(request.data());
    Trimmed result;
    std::vector<std::wstring> kept;
    DWORD count = 0;
    for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
        const std::wstring name = Winapi::LookupPrivilegeName(held->Privileges[i].Luid);
        // A privilege without a name is none the service uses.
        if (!name.empty() && IsKept(name)) {
            kept.push_back(name);
            continue;
        }
        removing->Privileges[count].Luid = held->Privileges[i].Luid;
        removing->Privileges[count].Attributes = SE_PRIVILEGE_REMOVED;
        ++count;
        result.Removed.push_back(name.empty() ? L"(unnamed)" : name);
    }
    removing->PrivilegeCount = count;
    // Windows reports TRUE with ERROR_NOT_ALL_ASSIGNED for a partial change.
    if (count != 0 && (!Winapi::AdjustTokenPrivileges(token, removing) || Winapi::GetLastError() != ERROR_SUCCESS))
        return Failed(L"removing privileges from the token");
    GetTrace().TraceW(TL_INFO, L"[%s] Removed %lu: %s; kept: %s", kTrim, count, Joined(result.Removed).c_str(),
                      Joined(kept).c_str());
    return result;
}

DiagService::Hardening::Trimmed DiagService::Hardening::TrimOwnPrivileges() {
    const VqBase::UniqueHandle token(Winapi::OpenProcessToken(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES));
    if (!token) return Failed(L"opening the process's token");
    return TrimPrivileges(token.get());
}

std::vector<DiagService::Hardening::Mitigation> DiagService::Hardening::Mitigations() {
    PROCESS_MITIGATION_IMAGE_LOAD_POLICY images{};
    images.NoRemoteImages = 1;
    images.NoLowMandatoryLabelImages = 1;
    images.PreferSystem32Images = 1;
    PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extensions{};
    extensions.DisableExtensionPoints = 1;
    return {{ProcessImageLoadPolicy, images.Flags}, {ProcessExtensionPointDisablePolicy, extensions.Flags}};
}

unsigned DiagService::Hardening::ApplyMitigations(const MitigationSetter& setPolicy,
                                                  const DllDirectorySetter& setDirectories) {
    unsigned refused = 0;
    for (const Mitigation& mitigation : Mitigations()) {
        // Every policy structure is one DWORD of flags.
        const DWORD flags = mitigation.Flags;
        const bool set = setPolicy ? setPolicy(mitigation.Policy, &flags, sizeof(flags))
                                   : Winapi::SetProcessMitigationPolicy(mitigation.Policy, &flags, sizeof(flags));
        if (!set) ++refused;
    }
    if (!(setDirectories ? setDirectories(kDllDirectories) : Winapi::SetDefaultDllDirectories(kDllDirectories)))
        ++refused;
    // An older system refuses the policies it does not know; the service still
    // runs, and the wrapper's line says which.
    if (refused != 0)
        GetTrace().TraceW(TL_WARNING, L"[%s] %u of %u refused", kMitigations, refused,
                          static_cast<unsigned>(Mitigations().size() + 1));
    return refused;
}

auto_close::handle DiagService::Hardening::CreateExportJob() {
    auto_close::handle job(Winapi::CreateJobObject(), nullptr);
    if (job.get() == nullptr) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!Winapi::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        const DWORD error = Winapi::GetLastError();
        job = auto_close::handle(nullptr, nullptr);
        Winapi::SetLastError(error);
    }
    return job;
}
