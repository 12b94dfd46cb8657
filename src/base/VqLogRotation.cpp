// The size bound of a log file and its rotation.
#include "base/VqLogRotation.h"

#include <winternl.h>

#include <vector>

#include "base/VqLogDirectory.h"
#include "base/VqOwners.h"

namespace VqBase {

namespace {

// FileRenameInformation. Called through ntdll itself: Wine's
// SetFileInformationByHandle makes the new name absolute against the current
// directory and so loses the root directory handle.
constexpr int kFileRenameInformation = 10;
using SetInformationFile = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);

bool ReadIdentity(HANDLE file, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information)) return false;
    identity.Volume = information.dwVolumeSerialNumber;
    identity.Index = (ULONGLONG{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    return true;
}

}  // namespace

bool RotationDue(ULONGLONG fileSize, size_t lineSize, DWORD bound) {
    return bound != 0 && fileSize != 0 && fileSize + lineSize > bound;
}

std::optional<FileIdentity> IdentityOf(HANDLE file) {
    FileIdentity identity;
    if (!ReadIdentity(file, identity)) return std::nullopt;
    return identity;
}

std::wstring RotatedName(const std::wstring& name) { return name + L".1"; }

std::wstring RotateLogFile(HANDLE directory, const std::wstring& name, const FileIdentity& expected) {
    UniqueHandle file;
    const LONG status = OpenRelative(directory, name, DELETE | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                     FILE_NON_DIRECTORY_FILE, nullptr, file);
    if (status < 0) return WithError(L"cannot open for the rename", StatusToError(status));
    FileIdentity found;
    if (!ReadIdentity(file.get(), found)) return WithError(L"identity not readable", ::GetLastError());
    // Another file took the checked one's place since it was measured.
    if (found.Volume != expected.Volume || found.Index != expected.Index) return L"replaced before its rename";

    const auto set = reinterpret_cast<SetInformationFile>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
    if (!set) return WithError(L"NtSetInformationFile not found", ::GetLastError());
    const std::wstring target = RotatedName(name);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = directory;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    target.copy(rename->FileName, target.size());
    IO_STATUS_BLOCK io{};
    const LONG renamed = set(file.get(), &io, rename, static_cast<ULONG>(buffer.size()), kFileRenameInformation);
    if (renamed < 0) return WithError(L"cannot rename to \"" + target + L"\"", StatusToError(renamed));
    return {};
}

}  // namespace VqBase
