#pragma once
// The directories of an export FILE, opened one below the other from the
// volume root without following a reparse point, judged as the trace judges
// a log directory, and held without delete sharing until the object goes:
// while they are held nobody can rename or delete one of them, so none can
// be swapped for a link before reg.exe writes below them.
#include <windows.h>

#include <string>
#include <vector>

#include "base/VqOwners.h"
#include "target_path.h"

namespace diagctl {

// What a held directory is opened with: traversal counts as use in the
// sharing check (measured under Wine: a rename by another process then
// fails with 32), attribute access alone does not.
inline constexpr ACCESS_MASK kHeldDirectoryAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
inline constexpr ULONG kHeldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The final path of an open file or directory on the volume of root (a path
// there: "C:\..." or "\\server\share\..."). Wine's
// GetFinalPathNameByHandleW fails with 234 for a path of MAX_PATH
// characters or more (measured); the name within the volume then stands,
// after the drive.
bool FinalPathOn(HANDLE handle, const std::wstring& root, std::wstring& path);

class HeldChain {
public:
    // Untrusted: others may change a directory of it, or one leads elsewhere
    // (a link); the walk stops there unless it was told to go on. Refused:
    // it cannot be used at all (a directory that is missing or no
    // directory, or that cannot be opened).
    enum Result { Held, Untrusted, Refused };

    // Walks and holds the directories of path; self is the operator, who
    // may own them besides LocalSystem, the Administrators and
    // TrustedInstaller. With allowUntrusted the walk goes on past an
    // untrusted directory (Untrusted, with Problem()).
    Result Walk(const TargetPath& path, const std::vector<BYTE>& self, bool allowUntrusted);

    // The last directory, in which the file is opened, and its final path.
    HANDLE Last() const { return m_Held.empty() ? nullptr : m_Held.back().get(); }
    const std::wstring& Path() const { return m_Path; }
    const std::wstring& Problem() const { return m_Problem; }

private:
    std::vector<VqBase::UniqueHandle> m_Held;
    std::wstring m_Path;
    std::wstring m_Problem;
};

}  // namespace diagctl
