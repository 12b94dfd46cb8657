// The access step: the service serves a channel only when LocalSystem or the
// Administrators made each of its objects and nobody else may change them.
// Anyone may create the channel's names first (an event needs no privilege),
// so the names alone prove nothing; the objects' security, read through the
// handles the service holds, does.
#include "ReRiruRuvazor.h"

#include <cstring>

#include "base/VqTrace.h"
#include "common/winapi_wrappers.h"

using VqBase::GetTrace;
using VqBase::TL_ERROR;
using VqBase::TL_INFO;

namespace {

constexpr wchar_t kIsSystem[] = L"DiagService::CheckAccess::IsSystem";

// The bytes of a SID: revision, sub-authority count, a 6-byte authority and
// 32-bit sub-authorities.
constexpr BYTE kLocalSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
constexpr BYTE kAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};

size_t SidLength(const BYTE* sid) { return 8 + 4 * size_t{sid[1]}; }

template <size_t N>
bool SidIs(const BYTE* sid, const BYTE (&known)[N]) {
    return SidLength(sid) == N && std::memcmp(sid, known, N) == 0;
}

bool IsTrusted(const BYTE* sid) { return SidIs(sid, kLocalSystem) || SidIs(sid, kAdministrators); }

// "S-1-5-32-544"; the authority in hexadecimal when it needs more than 32 bits,
// as the system writes it.
std::wstring SidText(const BYTE* sid) {
    unsigned long long authority = 0;
    for (int i = 2; i < 8; ++i)
        authority = (authority << 8) | sid[i];
    std::wstring text = L"S-" + std::to_wstring(sid[0]) + L"-";
    if (authority >> 32) {
        wchar_t hex[24] = {};
        _snwprintf(hex, 23, L"0x%012llX", authority);
        text += hex;
    } else {
        text += std::to_wstring(authority);
    }
    for (size_t i = 0; i < sid[1]; ++i) {
        DWORD sub = 0;
        std::memcpy(&sub, sid + 8 + 4 * i, 4);
        text += L"-" + std::to_wstring(sub);
    }
    return text;
}

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

// Where the SID of a granting entry starts, 0 for an entry that grants
// nothing, or -1 for a type not known to grant nothing.
long GrantedSidOffset(const BYTE* ace, size_t size) {
    switch (ace[0]) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        return 8;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
        if (size < 12)
            return -1;
        DWORD flags = 0;
        std::memcpy(&flags, ace + 8, 4);
        return 12 + ((flags & ACE_OBJECT_TYPE_PRESENT) ? 16 : 0) + ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) ? 16 : 0);
    }
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        return 0;
    default:
        return -1;
    }
}

}  // namespace

std::wstring DiagService::CheckAccess::Judge(const void* owner, const ACL* dacl, ObjectKind kind) {
    const auto* ownerSid = static_cast<const BYTE*>(owner);
    if (ownerSid == nullptr)
        return L"no owner";
    if (!IsTrusted(ownerSid))
        return L"owner " + SidText(ownerSid);
    if (dacl == nullptr)
        return L"no DACL";

    // The entries are walked by their recorded sizes, each checked against
    // the list's size, so that no entry is read past the list.
    const auto* bytes = reinterpret_cast<const BYTE*>(dacl);
    const size_t aclSize = dacl->AclSize;
    size_t offset = sizeof(ACL);
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > aclSize)
            return L"malformed DACL";
        const BYTE* ace = bytes + offset;
        WORD size = 0;
        std::memcpy(&size, ace + 2, 2);
        if (size < sizeof(ACE_HEADER) || offset + size > aclSize)
            return L"malformed DACL";
        offset += size;
        // An entry only for objects below this one does not apply to it.
        if (ace[1] & INHERIT_ONLY_ACE)
            continue;
        const long sidOffset = GrantedSidOffset(ace, size);
        if (sidOffset == 0)
            continue;
        if (sidOffset < 0 || static_cast<size_t>(sidOffset) + 8 > size ||
            static_cast<size_t>(sidOffset) + SidLength(ace + sidOffset) > size)
            return L"entry of type " + std::to_wstring(ace[0]) + L" not understood";
        DWORD mask = 0;
        std::memcpy(&mask, ace + 4, 4);
        const BYTE* sid = ace + sidOffset;
        if (WriteRights(mask, kind) != 0 && !IsTrusted(sid)) {
            wchar_t shown[9] = {};
            _snwprintf(shown, 8, L"%08X", static_cast<unsigned>(mask));
            return SidText(sid) + L" may write (" + shown + L")";
        }
    }
    return {};
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
