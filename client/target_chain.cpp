#include "target_chain.h"

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"
#include "base/VqLogSecurity.h"
#include "base/VqTraceConstants.h"

namespace diagctl {
namespace {

// ntstatus.h cannot be included beside windows.h without redefinitions.
constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG kStatusObjectPathNotFound = static_cast<LONG>(0xC000003A);
constexpr LONG kStatusNotADirectory = static_cast<LONG>(0xC0000103);

std::wstring Join(const std::wstring& parent, const std::wstring& name) {
    return !parent.empty() && parent.back() == L'\\' ? parent + name : parent + L"\\" + name;
}

// True when name is the short (8.3) name of final's entry in parent: an
// operator may write PROGRA~3.
bool IsShortNameOf(const std::wstring& parent, const std::wstring& name, const std::wstring& final) {
    const size_t cut = final.rfind(L'\\');
    if (cut == std::wstring::npos || !VqBase::SamePath(Join(parent, final.substr(cut + 1)), final))
        return false;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(Join(parent, name).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return VqBase::SamePath(found.cFileName, final.substr(cut + 1)) && VqBase::SamePath(found.cAlternateFileName, name);
}

// Why the directory held as name below parent is not to be trusted, or
// empty; final receives its final path.
std::wstring Judge(HANDLE directory, const std::wstring& root, const std::wstring& parent, const std::wstring& name,
                   const std::vector<BYTE>& self, std::wstring& final) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &tag, sizeof(tag)))
        return VqBase::WithError(L"attributes not readable", GetLastError());
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return L"a reparse point (a link)";
    // Some systems (Wine) follow a link even when asked not to: the final
    // path shows it.
    if (!FinalPathOn(directory, root, final))
        return VqBase::WithError(L"final path not readable", GetLastError());
    if (!VqBase::SamePath(final, Join(parent, name)) && !IsShortNameOf(parent, name, final))
        return L"leads to \"" + final + L"\"";
    VqBase::ObjectSecurity security;
    const DWORD error = VqBase::ReadSecurity(directory, SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, security);
    if (error != ERROR_SUCCESS)
        return VqBase::WithError(L"security not readable", error);
    return VqBase::JudgeLogDirectory(security.Owner, security.Dacl, self.empty() ? nullptr : self.data());
}

}  // namespace

bool FinalPathOn(HANDLE handle, const std::wstring& root, std::wstring& path) {
    if (VqBase::FinalPath(handle, path))
        return true;
    if (GetLastError() != ERROR_MORE_DATA)
        return false;
    std::vector<BYTE> buffer(sizeof(FILE_NAME_INFO) + VqBase::kLongestPathChars * sizeof(wchar_t));
    auto* name = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, name, static_cast<DWORD>(buffer.size())))
        return false;
    // A network file's name starts with its server ("\server\share\...").
    const bool network = root.rfind(L"\\\\", 0) == 0;
    path = (network ? L"\\" : root.substr(0, 2)) + std::wstring(name->FileName, name->FileNameLength / sizeof(wchar_t));
    return true;
}

HeldChain::Result HeldChain::Walk(const TargetPath& path, const std::vector<BYTE>& self, bool allowUntrusted) {
    m_Held.clear();
    m_Problem.clear();
    const HANDLE root = CreateFileW(path.Root.c_str(), kHeldDirectoryAccess, kHeldShare | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (root == INVALID_HANDLE_VALUE) {
        m_Problem = VqBase::WithError(L"cannot open \"" + path.Root + L"\"", GetLastError());
        return Refused;
    }
    m_Held.emplace_back(root);
    if (!VqBase::FinalPath(root, m_Path)) {
        m_Problem = VqBase::WithError(L"final path of \"" + path.Root + L"\" not readable", GetLastError());
        return Refused;
    }
    Result result = Held;
    for (const std::wstring& name : path.Directories) {
        const std::wstring walked = Join(m_Path, name);
        VqBase::UniqueHandle next;
        const LONG status = VqBase::OpenRelative(m_Held.back().get(), name, kHeldDirectoryAccess, kHeldShare,
                                                 FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, next);
        if (status == kStatusObjectNameNotFound || status == kStatusObjectPathNotFound) {
            // reg.exe cannot make it, and one that appears later could be a
            // link made after the judgement.
            m_Problem = L"directory \"" + walked + L"\" does not exist";
            return Refused;
        }
        if (status == kStatusNotADirectory) {
            m_Problem = L"\"" + walked + L"\" is no directory";
            return Refused;
        }
        if (status < 0) {
            m_Problem = VqBase::WithError(L"directory \"" + walked + L"\" cannot be held",
                                          VqBase::StatusToError(status));
            return Refused;
        }
        std::wstring final = walked;
        if (const std::wstring why = Judge(next.get(), path.Root, m_Path, name, self, final); !why.empty()) {
            if (m_Problem.empty())
                m_Problem = L"directory \"" + walked + L"\": " + why;
            if (!allowUntrusted)
                return Untrusted;
            result = Untrusted;
        }
        m_Held.push_back(std::move(next));
        m_Path = final;
    }
    return result;
}

}  // namespace diagctl
