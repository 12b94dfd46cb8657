// Log directories: their creation and their security.
#include "base/VqTracePath.h"

#include "base/VqTrace.h"

#include <cwchar>

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

// A descriptor handed out by BuildDirectorySecurity.
class DirectorySecurity {
public:
    DirectorySecurity() : m_Descriptor(BuildDirectorySecurity()) {}
    ~DirectorySecurity() {
        if (m_Descriptor) ::HeapFree(::GetProcessHeap(), 0, m_Descriptor);
    }
    DirectorySecurity(const DirectorySecurity&) = delete;
    DirectorySecurity& operator=(const DirectorySecurity&) = delete;

    PSECURITY_DESCRIPTOR Get() const { return m_Descriptor; }

private:
    PSECURITY_DESCRIPTOR m_Descriptor;
};

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

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
        ::AddAccessAllowedAceEx(pAcl, ACL_REVISION, entryFlags, entries[i].m_Mask, entries[i].m_Sid);
    if (!::SetSecurityDescriptorDacl(&absolute, TRUE, pAcl, FALSE)) return ::GetLastError();

    DWORD size = 0;
    ::MakeSelfRelativeSD(&absolute, nullptr, &size);
    HeapBlock relative(size);
    if (!relative.Get()) return ERROR_NOT_ENOUGH_MEMORY;
    if (!::MakeSelfRelativeSD(&absolute, relative.Get(), &size)) return ::GetLastError();
    *descriptor = relative.Release();
    return ERROR_SUCCESS;
}

PSECURITY_DESCRIPTOR BuildDirectorySecurity() {
    const AccessEntry entries[] = {
        {Sid(kLocalSystem), GENERIC_ALL},
        {Sid(kEveryone), GENERIC_ALL},
        {Sid(kAdministrators), GENERIC_ALL},
        {Sid(kAllAppPackages), GENERIC_ALL},
    };
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD result = BuildSecurityDescriptor(4, entries, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, nullptr,
                                           Sid(kAdministrators), &descriptor);
    return result == ERROR_SUCCESS ? descriptor : nullptr;
}

bool CreatePath(const wchar_t* path) {
    const size_t length = std::wcslen(path);
    // Longer paths would not fit the working copy; creating a shortened
    // prefix of them would make the wrong directories.
    if (length >= kTracePathChars) return false;

    wchar_t copy[kTracePathChars] = {};
    // The root (a drive, or the server of a network path) is never created.
    // Either separator ends the root, as everywhere else in a path.
    const wchar_t* root = IsSeparator(path[0]) ? (length > 3 ? std::wcspbrk(path + 3, L"\\/") : nullptr)
                                               : std::wcspbrk(path, L"\\/");
    if (!root) return false;
    size_t pos = static_cast<size_t>(root - path) + 1;
    for (size_t i = 0; i < pos; ++i) copy[i] = path[i] == L'/' ? L'\\' : path[i];

    DirectorySecurity security;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), security.Get(), TRUE};
    for (; path[pos] != L'\0'; ++pos) {
        copy[pos] = path[pos] == L'/' ? L'\\' : path[pos];
        if (IsSeparator(path[pos + 1]) && !::CreateDirectoryW(copy, &attributes) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return true;
}

}  // namespace VqBase
