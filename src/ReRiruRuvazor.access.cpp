// The access step: the service serves a channel only when LocalSystem or the
// Administrators made each of its objects and nobody else may change them.
// Anyone may create the channel's names first (an event needs no privilege),
// so the names alone prove nothing; the objects' security, read through the
// handles the service holds, does.
#include "ReRiruRuvazor.h"

#include "base/VqAccessList.h"
#include "base/VqTrace.h"
#include "common/winapi_wrappers.h"

using VqBase::GetTrace;
using VqBase::TL_ERROR;
using VqBase::TL_INFO;

namespace {

constexpr wchar_t kIsSystem[] = L"DiagService::CheckAccess::IsSystem";

// The rights that change an object or what it carries, after the generic
// rights are mapped as the system maps them for the object's type. On an
// event that includes waiting: a wait on an auto-reset event takes its
// signal, so whoever may wait can swallow requests (do-work) or replies
// (work-done).
DWORD WriteRights(DWORD mask, DiagService::CheckAccess::ObjectKind kind) {
    const bool section = kind == DiagService::CheckAccess::ObjectKind::Section;
    if (mask & GENERIC_ALL)
        mask |= section ? SECTION_ALL_ACCESS : EVENT_ALL_ACCESS;
    if (mask & GENERIC_WRITE)
        mask |= STANDARD_RIGHTS_WRITE | (section ? SECTION_MAP_WRITE : EVENT_MODIFY_STATE);
    if (!section && (mask & GENERIC_EXECUTE))
        mask |= STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE;
    const DWORD own = section ? (SECTION_MAP_WRITE | SECTION_EXTEND_SIZE) : (EVENT_MODIFY_STATE | SYNCHRONIZE);
    return mask & (own | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_WRITE | GENERIC_ALL);
}

}  // namespace

std::wstring DiagService::CheckAccess::Judge(const void* owner, const ACL* dacl, ObjectKind kind) {
    const auto* ownerSid = static_cast<const BYTE*>(owner);
    if (ownerSid == nullptr)
        return L"no owner";
    if (!VqBase::IsSystemOrAdministrators(ownerSid))
        return L"owner " + VqBase::SidText(ownerSid);
    if (dacl == nullptr)
        return L"no DACL";
    return VqBase::ForEachGrant(dacl, [kind](const BYTE* sid, DWORD mask) -> std::wstring {
        if (WriteRights(mask, kind) == 0 || VqBase::IsSystemOrAdministrators(sid))
            return {};
        return VqBase::SidText(sid) + L" may write (" + VqBase::HexText(mask) + L")";
    });
}

bool DiagService::CheckAccess::IsSystem(const DiagService& service) {
    const struct {
        HANDLE Handle;
        const std::wstring& Name;
        ObjectKind Kind;
    } objects[] = {
        {service.m_SharedSection.m_hMapping, service.m_Names.Section, ObjectKind::Section},
        {service.m_Events.m_DoWork.Handle(), service.m_Names.DoWork, ObjectKind::Event},
        {service.m_Events.m_WorkDone.Handle(), service.m_Names.WorkDone, ObjectKind::Event},
    };
    for (const auto& object : objects) {
        Winapi::SecurityInfo info;
        const DWORD error = Winapi::GetSecurityInfo(object.Handle, &info);
        const std::wstring reason = error != ERROR_SUCCESS ? L"security not readable (" + std::to_wstring(error) + L")"
                                                           : Judge(info.Owner, info.Dacl, object.Kind);
        if (!reason.empty()) {
            GetTrace().TraceW(TL_ERROR, L"[%s] \"%s\": %s", kIsSystem, object.Name.c_str(), reason.c_str());
            Report::ChannelRefused(object.Name, error == ERROR_SUCCESS ? info.Owner : nullptr, reason);
            return false;
        }
    }
    return true;
}

bool DiagService::CheckAccess::Do(const DiagService& service) {
    if (!IsSystem(service)) {
        GetTrace().TraceW(TL_INFO, L"[%s] IsSystem(): Deny", L"DiagService::CheckAccess::Do");
        return false;
    }
    GetTrace().TraceW(TL_INFO, L"[%s] Granted", L"DiagService::CheckAccess::Do");
    return true;
}
