// Reading owners and access lists.
#include "base/VqAccessList.h"

#include <aclapi.h>

#include <cstring>
#include <iterator>

namespace VqBase {

namespace {

// Where the SID of a granting entry starts, 0 for an entry that grants
// nothing, or -1 for a type not known to grant nothing.
long GrantedSidOffset(const BYTE* ace, size_t size) {
    switch (ace[0]) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        return 8;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
        if (size < 12) return -1;
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

DWORD ReadSecurity(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, ObjectSecurity& security) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = ::GetSecurityInfo(object, type, what, (what & OWNER_SECURITY_INFORMATION) ? &owner : nullptr,
                                         nullptr, (what & DACL_SECURITY_INFORMATION) ? &dacl : nullptr, nullptr,
                                         &descriptor);
    security.Descriptor.reset(descriptor);
    security.Owner = error == ERROR_SUCCESS ? owner : nullptr;
    security.Dacl = error == ERROR_SUCCESS ? dacl : nullptr;
    return error;
}

std::vector<BYTE> ProcessUserSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    const UniqueHandle owned(token);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const auto* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid));
}

bool ProcessIsElevated() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const UniqueHandle owned(token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

std::vector<BYTE> NewObjectOwner(const std::vector<BYTE>& self, bool elevated) {
    if (elevated && !SidIs(self.empty() ? nullptr : self.data(), kSidLocalSystem))
        return std::vector<BYTE>(std::begin(kSidAdministrators), std::end(kSidAdministrators));
    return self;
}

size_t SidLength(const BYTE* sid) { return 8 + 4 * size_t{sid[1]}; }

bool SidIs(const BYTE* sid, std::span<const BYTE> known) {
    return sid != nullptr && SidLength(sid) == known.size() && std::memcmp(sid, known.data(), known.size()) == 0;
}

bool SameSid(const BYTE* a, const BYTE* b) {
    return a != nullptr && b != nullptr && SidLength(a) == SidLength(b) && std::memcmp(a, b, SidLength(a)) == 0;
}

bool IsSystemOrAdministrators(const BYTE* sid) { return SidIs(sid, kSidLocalSystem) || SidIs(sid, kSidAdministrators); }

std::wstring HexText(DWORD value) {
    wchar_t text[9] = {};
    _snwprintf(text, 8, L"%08X", static_cast<unsigned>(value));
    return text;
}

std::wstring SidText(const BYTE* sid) {
    unsigned long long authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
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

std::wstring ForEachGrant(const ACL* dacl, const GrantJudge& grant) {
    const auto* bytes = reinterpret_cast<const BYTE*>(dacl);
    const size_t aclSize = dacl->AclSize;
    size_t offset = sizeof(ACL);
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > aclSize) return L"malformed DACL";
        const BYTE* ace = bytes + offset;
        WORD size = 0;
        std::memcpy(&size, ace + 2, 2);
        if (size < sizeof(ACE_HEADER) || offset + size > aclSize) return L"malformed DACL";
        offset += size;
        // An entry only for objects below this one does not apply to it.
        if (ace[1] & INHERIT_ONLY_ACE) continue;
        const long sidOffset = GrantedSidOffset(ace, size);
        if (sidOffset == 0) continue;
        if (sidOffset < 0 || static_cast<size_t>(sidOffset) + 8 > size ||
            static_cast<size_t>(sidOffset) + SidLength(ace + sidOffset) > size)
            return L"entry of type " + std::to_wstring(ace[0]) + L" not understood";
        DWORD mask = 0;
        std::memcpy(&mask, ace + 4, 4);
        std::wstring verdict = grant(ace + sidOffset, mask);
        if (!verdict.empty()) return verdict;
    }
    return {};
}

}  // namespace VqBase
