// Entries of a held log directory changed through handles.
#include "base/VqLogEntries.h"

#include <winternl.h>

#include <vector>

namespace VqBase {

namespace {

// Information classes of NtSetInformationFile and NtQueryInformationFile.
constexpr int kFileInternalInformation = 6;
constexpr int kFileRenameInformation = 10;
constexpr int kFileLinkInformation = 11;
constexpr LONG kStatusProcedureNotFound = static_cast<LONG>(0xC000007A);

// Called through ntdll itself: Wine's SetFileInformationByHandle makes the
// new name absolute against the current directory and so loses the root
// directory handle, and CreateHardLinkW takes paths only.
using SetInformationFile = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);

LONG SetName(HANDLE object, HANDLE directory, const std::wstring& name, bool replace, int information) {
    const auto set = reinterpret_cast<SetInformationFile>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
    if (!set) return kStatusProcedureNotFound;
    // FILE_LINK_INFORMATION has the layout of FILE_RENAME_INFO.
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace;
    info->RootDirectory = directory;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    name.copy(info->FileName, name.size());
    IO_STATUS_BLOCK io{};
    return set(object, &io, info, static_cast<ULONG>(buffer.size()), information);
}

}  // namespace

LONG RenameEntry(HANDLE object, HANDLE directory, const std::wstring& name, bool replace) {
    return SetName(object, directory, name, replace, kFileRenameInformation);
}

LONG LinkEntry(HANDLE file, HANDLE directory, const std::wstring& name) {
    return SetName(file, directory, name, false, kFileLinkInformation);
}

bool DeleteEntry(HANDLE object) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return ::SetFileInformationByHandle(object, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

bool FileIndexOf(HANDLE file, LONGLONG& index) {
    // FileInternalInformation: cheaper here than the Win32 queries that also
    // give it.
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER value{};
    const NTSTATUS status = ::NtQueryInformationFile(file, &io, &value, sizeof(value),
                                                     static_cast<FILE_INFORMATION_CLASS>(kFileInternalInformation));
    index = value.QuadPart;
    return status >= 0;
}

}  // namespace VqBase
