#include "target_file.h"

#include <iterator>
#include <memory>

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"
#include "base/VqLogSecurity.h"
#include "target_chain.h"

namespace diagctl {
namespace {

constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG kStatusObjectNameCollision = static_cast<LONG>(0xC0000035);
// Enough to judge it and to know it again; no data access (see HeldFile).
constexpr ACCESS_MASK kHeldFileAccess = FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

// For LocalSystem, which writes it, and the Administrators (and the
// operator, unless elevated: then the Administrators own it): a registry
// export may hold secrets.
std::unique_ptr<void, VqBase::HeapFreer> NewFileSecurity(const std::vector<BYTE>& self) {
    const bool elevated = VqBase::ProcessIsElevated();
    std::vector<BYTE> owner = VqBase::NewObjectOwner(self, elevated);
    std::vector<BYTE> system(std::begin(VqBase::kSidLocalSystem), std::end(VqBase::kSidLocalSystem));
    std::vector<BYTE> administrators(std::begin(VqBase::kSidAdministrators), std::end(VqBase::kSidAdministrators));
    std::vector<BYTE> operatorSid = self;
    std::vector<VqBase::AccessEntry> entries = {{system.data(), GENERIC_ALL}, {administrators.data(), GENERIC_ALL}};
    if (!elevated && !operatorSid.empty())
        entries.push_back({operatorSid.data(), GENERIC_ALL});
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    VqBase::BuildSecurityDescriptor(static_cast<DWORD>(entries.size()), entries.data(), 0,
                                    owner.empty() ? nullptr : owner.data(), nullptr, &descriptor);
    return std::unique_ptr<void, VqBase::HeapFreer>(descriptor);
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

std::wstring JudgeExportFile(const void* owner, const ACL* dacl, const void* self) {
    const auto* selfSid = static_cast<const BYTE*>(self);
    if (std::wstring why = VqBase::JudgeLogFileOwner(owner, self); !why.empty())
        return why;
    if (dacl == nullptr)
        return L"no DACL: everyone may change it";
    return VqBase::ForEachGrant(dacl, [&](const BYTE* sid, DWORD mask) -> std::wstring {
        if (VqBase::IsSystemOrAdministrators(sid) || VqBase::SameSid(sid, selfSid) ||
            VqBase::SidIs(sid, VqBase::kSidOwnerRights) || (mask & kExportFileChangeRights) == 0)
            return {};
        return VqBase::SidText(sid) + L" may change it (" + VqBase::HexText(mask) + L")";
    });
}

HeldFile::Result HeldFile::Open(HANDLE directory, const std::wstring& directoryPath, const std::wstring& name,
                                const std::vector<BYTE>& self) {
    m_Directory = directory;
    m_Name = name;
    m_Created = false;
    m_Problem.clear();
    const std::wstring path = directoryPath + (directoryPath.back() == L'\\' ? L"" : L"\\") + name;
    LONG status = VqBase::OpenRelative(directory, name, kHeldFileAccess, kHeldShare, FILE_OPEN, 0, nullptr, m_Handle);
    if (status == kStatusObjectNameNotFound) {
        // Made relative to the held directory, and only there: nothing can
        // take its name between the look and the make.
        const auto security = NewFileSecurity(self);
        status = VqBase::OpenRelative(directory, name, kHeldFileAccess, kHeldShare, FILE_CREATE,
                                      FILE_NON_DIRECTORY_FILE, security.get(), m_Handle);
        m_Created = status >= 0;
        if (status == kStatusObjectNameCollision)
            status = VqBase::OpenRelative(directory, name, kHeldFileAccess, kHeldShare, FILE_OPEN, 0, nullptr, m_Handle);
    }
    if (status < 0) {
        m_Problem = VqBase::WithError(L"\"" + path + L"\" cannot be opened", VqBase::StatusToError(status));
        return Refused;
    }
    if (!GetFileInformationByHandle(m_Handle.get(), &m_Identity)) {
        m_Problem = VqBase::WithError(L"\"" + path + L"\" cannot be told apart from others", GetLastError());
        return Refused;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(m_Handle.get(), FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !GetFileInformationByHandleEx(m_Handle.get(), FileStandardInfo, &standard, sizeof(standard))) {
        m_Problem = VqBase::WithError(L"\"" + path + L"\": attributes not readable", GetLastError());
        return Refused;
    }
    if (standard.Directory) {
        m_Problem = L"\"" + path + L"\" is a directory";
        return Refused;
    }
    if (m_Created)
        return Held;
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        m_Problem = L"\"" + path + L"\" is a reparse point (a link)";
    else if (standard.NumberOfLinks > 1)
        m_Problem = L"\"" + path + L"\" has " + std::to_wstring(standard.NumberOfLinks) +
                    L" links: writing it would change what the others name";
    std::wstring final;
    // Some systems (Wine) follow a link even when asked not to: the final
    // path shows it.
    if (m_Problem.empty() && FinalPathOn(m_Handle.get(), directoryPath, final) && !VqBase::SamePath(final, path))
        m_Problem = L"\"" + path + L"\" leads to \"" + final + L"\"";
    if (m_Problem.empty()) {
        VqBase::ObjectSecurity security;
        const DWORD error = VqBase::ReadSecurity(m_Handle.get(), SE_FILE_OBJECT,
                                                 OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, security);
        const std::wstring why = error != ERROR_SUCCESS
                                     ? VqBase::WithError(L"security not readable", error)
                                     : JudgeExportFile(security.Owner, security.Dacl, self.empty() ? nullptr : self.data());
        if (!why.empty())
            m_Problem = L"\"" + path + L"\": " + why;
    }
    return m_Problem.empty() ? Held : Untrusted;
}

ULONGLONG HeldFile::Size() const {
    FILE_STANDARD_INFO standard{};
    if (!m_Handle || !GetFileInformationByHandleEx(m_Handle.get(), FileStandardInfo, &standard, sizeof(standard)))
        return 0;
    return static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);
}

std::wstring HeldFile::Remove() {
    if (!m_Handle)
        return L"it is not held";
    VqBase::UniqueHandle removable;
    const LONG status = VqBase::OpenRelative(m_Directory, m_Name, DELETE | FILE_READ_ATTRIBUTES,
                                             kHeldShare | FILE_SHARE_DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                                             nullptr, removable);
    if (status < 0)
        return VqBase::WithError(L"it cannot be opened for deletion", VqBase::StatusToError(status));
    BY_HANDLE_FILE_INFORMATION identity{};
    if (!GetFileInformationByHandle(removable.get(), &identity) || !SameFile(identity, m_Identity))
        return L"its name leads to another file now, which is left alone";
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SetFileInformationByHandle(removable.get(), FileDispositionInfo, &disposition, sizeof(disposition)))
        return VqBase::WithError(L"it cannot be deleted", GetLastError());
    m_Handle.reset();
    return {};
}

}  // namespace diagctl
