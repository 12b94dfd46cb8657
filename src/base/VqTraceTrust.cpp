// Whom a log directory and a log file may belong to.
#include "base/VqTraceTrust.h"

#include "base/VqAccessList.h"

namespace VqBase {

namespace {

bool MayOwnDirectory(const BYTE* sid, const BYTE* self) {
    return IsSystemOrAdministrators(sid) || SidIs(sid, kSidTrustedInstaller) || SameSid(sid, self);
}

}  // namespace

std::wstring JudgeLogDirectory(const void* owner, const ACL* dacl, const void* self) {
    const auto* ownerSid = static_cast<const BYTE*>(owner);
    const auto* selfSid = static_cast<const BYTE*>(self);
    if (ownerSid == nullptr) return L"no owner";
    if (!MayOwnDirectory(ownerSid, selfSid)) return L"owner " + SidText(ownerSid);
    if (dacl == nullptr) return L"no DACL: everyone may change it";
    return ForEachGrant(dacl, [&](const BYTE* sid, DWORD mask) -> std::wstring {
        // OWNER RIGHTS stands for the owner, judged above; CREATOR OWNER on
        // the directory itself grants nobody anything.
        if (MayOwnDirectory(sid, selfSid) || SidIs(sid, kSidOwnerRights) || SidIs(sid, kSidCreatorOwner)) return {};
        if ((mask & kDirectoryChangeRights) == 0) return {};
        return SidText(sid) + L" may change it (" + HexText(mask) + L")";
    });
}

std::wstring JudgeLogFileOwner(const void* owner, const void* self) {
    const auto* ownerSid = static_cast<const BYTE*>(owner);
    if (ownerSid == nullptr) return L"no owner";
    if (IsSystemOrAdministrators(ownerSid) || SameSid(ownerSid, static_cast<const BYTE*>(self))) return {};
    return L"owner " + SidText(ownerSid);
}

}  // namespace VqBase
