#pragma once
// Reading owners and access lists: from a handle, and as bytes, with the
// walk over a DACL's entries and the SIDs a judgement of trust needs. A
// descriptor may come from anyone, so nothing is read past the sizes it
// records.
#include <windows.h>

// SE_OBJECT_TYPE; aclapi.h would rename BuildSecurityDescriptor.
#include <accctrl.h>

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/VqOwners.h"

namespace VqBase {

// Well-known SIDs as their bytes: revision, count, 6-byte authority, then the
// 32-bit sub-authorities (little-endian).
inline constexpr BYTE kSidLocalSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
inline constexpr BYTE kSidAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
// NT SERVICE\TrustedInstaller, S-1-5-80-956008885-3418522649-1831038044-1850903143-4292266011.
inline constexpr BYTE kSidTrustedInstaller[] = {
    1, 6, 0, 0, 0, 0, 0, 5, 80, 0, 0, 0, 0xB5, 0x89, 0xFB, 0x38, 0x19, 0x84, 0xC2, 0xCB,
    0x5C, 0x6C, 0x23, 0x6D, 0x67, 0x8A, 0x52, 0x6E, 0x1B, 0xC8, 0xD6, 0xFF};
inline constexpr BYTE kSidCreatorOwner[] = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};
inline constexpr BYTE kSidOwnerRights[] = {1, 1, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0};

// The owner and DACL of an object as read through its handle (which needs
// READ_CONTROL). Owner and Dacl point into Descriptor; a null Dacl means the
// object has none or a NULL DACL.
struct ObjectSecurity {
    PSID Owner = nullptr;
    PACL Dacl = nullptr;
    std::unique_ptr<void, LocalFreer> Descriptor;
};
// 0 and what of the object's security was asked for, or the Win32 error.
DWORD ReadSecurity(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, ObjectSecurity& security);

// The SID of the process's own user, as bytes (empty when unreadable).
std::vector<BYTE> ProcessUserSid();

// Whether the process's token is elevated (an administrator's full token).
bool ProcessIsElevated();

// The owner a named object this process creates is given: the
// Administrators for an elevated administrator (as the system gives them
// the objects such a process makes), so that LocalSystem and every other
// elevated program of the product trust it; else self.
std::vector<BYTE> NewObjectOwner(const std::vector<BYTE>& self, bool elevated);

// 8 + 4 bytes per sub-authority.
size_t SidLength(const BYTE* sid);
bool SidIs(const BYTE* sid, std::span<const BYTE> known);
// Same revision, authority and sub-authorities; null equals nothing.
bool SameSid(const BYTE* a, const BYTE* b);
// LocalSystem or the Administrators: the accounts trusted with everything.
bool IsSystemOrAdministrators(const BYTE* sid);
// "S-1-5-32-544"; the authority in hexadecimal when it needs more than 32
// bits, as the system writes it.
std::wstring SidText(const BYTE* sid);
// An access mask or an error code as eight hexadecimal digits.
std::wstring HexText(DWORD value);

// Calls grant(sid, mask) for each entry that grants rights on the object
// itself (allow entries, inherit-only ones skipped; deny entries only take
// rights away). Stops at the first non-empty answer and returns it. Returns
// a reason of its own for a list whose sizes do not add up or an entry of a
// type it does not understand, since such a list could grant anything.
using GrantJudge = std::function<std::wstring(const BYTE* sid, DWORD mask)>;
std::wstring ForEachGrant(const ACL* dacl, const GrantJudge& grant);

}  // namespace VqBase
