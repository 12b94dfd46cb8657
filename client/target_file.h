#pragma once
// The export FILE in its held directory: one that exists is judged on its
// handle, one that is missing is made by diagctl, and either is held until
// the reply, so that what is removed afterwards is known to be the file
// that was judged.
#include <windows.h>

#include <string>
#include <vector>

#include "base/VqOwners.h"

namespace diagctl {

// What lets another account delete, replace, re-permission or rewrite an
// export file: the rights that let one change a log directory, and writing.
inline constexpr DWORD kExportFileChangeRights =
    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA;

// Empty when an existing export file may be written as LocalSystem: its
// owner is LocalSystem, the Administrators or self (the operator), and no
// other SID is granted any of kExportFileChangeRights. Else why, naming
// the owner or the SID.
std::wstring JudgeExportFile(const void* owner, const ACL* dacl, const void* self);

class HeldFile {
public:
    // Untrusted: held, but JudgeExportFile or its links refuse it;
    // Refused: it cannot be one (a directory, or not to be opened).
    enum Result { Held, Untrusted, Refused };

    // Opens name in the held directory at directoryPath, or makes it there
    // (owned by the Administrators, for LocalSystem and the Administrators
    // only) when it is missing. The handle has no data access, so that
    // reg.exe, which opens the file with no sharing at all, can still write
    // it, and shares no deletion.
    Result Open(HANDLE directory, const std::wstring& directoryPath, const std::wstring& name,
                const std::vector<BYTE>& self);

    bool Created() const { return m_Created; }
    const std::wstring& Problem() const { return m_Problem; }
    // Its size now; 0 when it cannot be read.
    ULONGLONG Size() const;
    // Deletes the file, by a handle opened in the held directory and found
    // to be the same file as the one held. Empty when done, else why not.
    std::wstring Remove();

private:
    VqBase::UniqueHandle m_Handle;
    // Which file is held: its volume and its index there.
    BY_HANDLE_FILE_INFORMATION m_Identity{};
    HANDLE m_Directory = nullptr;
    std::wstring m_Name;
    std::wstring m_Problem;
    bool m_Created = false;
};

}  // namespace diagctl
