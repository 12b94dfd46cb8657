// Who may change a log directory or a log file: the descriptors the trace
// creates them with, and the judgement of an owner and DACL.
#include "base/VqLogSecurity.h"

#include "base/VqAccessList.h"

namespace VqBase {

namespace {

// A SID with room for two sub-authorities, laid out as the system's SID, so
// that the well-known accounts need no allocation and cannot fail.
struct StaticSid {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[2];
};

const StaticSid kLocalSystem = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_LOCAL_SYSTEM_RID, 0}};
const StaticSid kEveryone = {SID_REVISION, 1, {SECURITY_WORLD_SID_AUTHORITY}, {SECURITY_WORLD_RID, 0}};
const StaticSid kAdministrators = {
    SID_REVISION, 2, {SECURITY_NT_AUTHORITY}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
// S-1-15-2-1: all application packages.
const StaticSid kAllAppPackages = {SID_REVISION, 2, {{0, 0, 0, 0, 0, 15}}, {2, 1}};
const StaticSid kCreatorOwner = {SID_REVISION, 1, {SECURITY_CREATOR_SID_AUTHORITY}, {SECURITY_CREATOR_OWNER_RID, 0}};

PSID Sid(const StaticSid& sid) { return const_cast<StaticSid*>(&sid); }

// The process heap block of a descriptor or an ACL.
class HeapBlock {
public:
    explicit HeapBlock(size_t size) : m_Block(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size)) {}
    ~HeapBlock() {
        if (m_Block) ::HeapFree(::GetProcessHeap(), 0, m_Block);
    }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;

    void* Get() const { return m_Block; }
    [[nodiscard]] void* Release() {
        void* block = m_Block;
        m_Block = nullptr;
        return block;
    }

private:
    void* m_Block;
};

}  // namespace

DWORD BuildSecurityDescriptor(DWORD count, const AccessEntry* entries, DWORD entryFlags, PSID owner, PSID group,
                              PSECURITY_DESCRIPTOR* descriptor) {
    *descriptor = nullptr;
    SECURITY_DESCRIPTOR absolute;
    if (!::InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorOwner(&absolute, owner, FALSE) ||
        !::SetSecurityDescriptorGroup(&absolute, group, FALSE))
        return ::GetLastError();

    DWORD aclSize = sizeof(ACL);
    for (DWORD i = 0; i < count; ++i) aclSize += ::GetLengthSid(entries[i].m_Sid) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
    HeapBlock acl(aclSize);
    if (!acl.Get()) return ERROR_NOT_ENOUGH_MEMORY;
    auto* pAcl = static_cast<PACL>(acl.Get());
    if (!::InitializeAcl(pAcl, aclSize, ACL_REVISION)) return ::GetLastError();
    for (DWORD i = 0; i < count; ++i)
        ::AddAccessAllowedAceEx(pAcl, ACL_REVISION, entryFlags | entries[i].m_Flags, entries[i].m_Mask,
                                entries[i].m_Sid);
    // Protected: Windows merges a parent's inheritable entries into a DACL
    // given at creation unless told not to, and a default C:\ grants
    // Authenticated Users Modify on every new directory, which the trace
    // would then refuse. What is stored is exactly this DACL.
    if (!::SetSecurityDescriptorDacl(&absolute, TRUE, pAcl, FALSE) ||
        !::SetSecurityDescriptorControl(&absolute, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return ::GetLastError();

    DWORD size = 0;
    ::MakeSelfRelativeSD(&absolute, nullptr, &size);
    HeapBlock relative(size);
    if (!relative.Get()) return ERROR_NOT_ENOUGH_MEMORY;
    if (!::MakeSelfRelativeSD(&absolute, relative.Get(), &size)) return ::GetLastError();
    *descriptor = relative.Release();
    return ERROR_SUCCESS;
}

namespace {

// No owner (the creator becomes it), group administrators; null on failure.
template <size_t N>
PSECURITY_DESCRIPTOR BuildAdministratorsDescriptor(const AccessEntry (&entries)[N]) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result =
        BuildSecurityDescriptor(static_cast<DWORD>(N), entries, 0, nullptr, Sid(kAdministrators), &descriptor);
    return result == ERROR_SUCCESS ? descriptor : nullptr;
}

}  // namespace

PSECURITY_DESCRIPTOR BuildDirectorySecurity() {
    // Everyone may add a log of its own, and only its creator and the
    // administrators may change it: full control for everyone would let
    // anyone rewrite the service's log or swap a directory for a redirect.
    const AccessEntry entries[] = {
        {Sid(kLocalSystem), GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
        {Sid(kAdministrators), GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
        {Sid(kCreatorOwner), GENERIC_ALL, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE},
        {Sid(kEveryone), kLogDirectoryEveryoneRights},
        {Sid(kAllAppPackages), kLogDirectoryEveryoneRights},
    };
    return BuildAdministratorsDescriptor(entries);
}

PSECURITY_DESCRIPTOR BuildCommonFileSecurity() {
    const AccessEntry entries[] = {
        {Sid(kLocalSystem), GENERIC_ALL},
        {Sid(kAdministrators), GENERIC_ALL},
        {Sid(kEveryone), kCommonFileEveryoneRights},
    };
    return BuildAdministratorsDescriptor(entries);
}

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
