#include "executable.h"

#include <windows.h>

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"

namespace diagctl {
namespace {

bool MayHold(const BYTE* sid, const BYTE* self) {
    return VqBase::IsSystemOrAdministrators(sid) || VqBase::SidIs(sid, VqBase::kSidTrustedInstaller) ||
           VqBase::SameSid(sid, self);
}

// Why the file or directory at path may not hold the service, or empty.
std::wstring JudgeObject(const std::wstring& path, const std::vector<BYTE>& self) {
    const VqBase::UniqueHandle object(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (object.get() == INVALID_HANDLE_VALUE)
        return VqBase::WithError(L"\"" + path + L"\" cannot be read", ::GetLastError());
    VqBase::ObjectSecurity security;
    const DWORD error = VqBase::ReadSecurity(object.get(), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, security);
    if (error != ERROR_SUCCESS) return VqBase::WithError(L"\"" + path + L"\": security not readable", error);
    const std::wstring reason = JudgeExecutableSecurity(security.Owner, security.Dacl, self.empty() ? nullptr : self.data());
    return reason.empty() ? reason : L"\"" + path + L"\": " + reason;
}

}  // namespace

std::wstring JudgeExecutableSecurity(const void* owner, const void* dacl, const void* self) {
    const auto* ownerSid = static_cast<const BYTE*>(owner);
    const auto* selfSid = static_cast<const BYTE*>(self);
    if (ownerSid == nullptr) return L"no owner";
    if (!MayHold(ownerSid, selfSid)) return L"owned by " + VqBase::SidText(ownerSid);
    if (dacl == nullptr) return L"no DACL: everyone may change it";
    return VqBase::ForEachGrant(static_cast<const ACL*>(dacl), [&](const BYTE* sid, DWORD mask) -> std::wstring {
        // OWNER RIGHTS stands for the owner, judged above; CREATOR OWNER on
        // the object itself grants nobody anything.
        if (MayHold(sid, selfSid) || VqBase::SidIs(sid, VqBase::kSidOwnerRights) ||
            VqBase::SidIs(sid, VqBase::kSidCreatorOwner) || (mask & kExecutableChangeRights) == 0)
            return {};
        return VqBase::SidText(sid) + L" may change it or add to it (" + VqBase::HexText(mask) + L")";
    });
}

std::wstring JudgeServiceExecutable(const std::wstring& exe) {
    const std::optional<VqBase::LogPathParts> parts = VqBase::SplitLogPath(exe.c_str());
    if (!parts || parts->File.empty()) return L"\"" + exe + L"\" is no full path of a file";
    // A link anywhere on the path would let whoever may change the link
    // choose the program: the path must lead to the file itself.
    const VqBase::UniqueHandle file(::CreateFileW(exe.c_str(), FILE_READ_ATTRIBUTES,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
    std::wstring final;
    if (file.get() == INVALID_HANDLE_VALUE || !VqBase::FinalPath(file.get(), final))
        return VqBase::WithError(L"\"" + exe + L"\" cannot be read", ::GetLastError());
    wchar_t longPath[MAX_PATH * 2] = {};
    const DWORD length = ::GetLongPathNameW(exe.c_str(), longPath, MAX_PATH * 2);
    const std::wstring spelled = length > 0 && length < MAX_PATH * 2 ? std::wstring(longPath, length) : exe;
    if (!VqBase::SamePath(final, spelled)) return L"\"" + exe + L"\" leads to \"" + final + L"\"";

    const std::vector<BYTE> self = VqBase::ProcessUserSid();
    std::wstring path = parts->Root;
    for (const std::wstring& directory : parts->Directories) {
        path += (path.back() == L'\\' ? L"" : L"\\") + directory;
        if (std::wstring reason = JudgeObject(path, self); !reason.empty()) return reason;
    }
    return JudgeObject(exe, self);
}

}  // namespace diagctl
