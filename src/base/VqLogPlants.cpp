// What others plant under the log's own names: judged, moved aside, kept.
#include "base/VqLogPlants.h"

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"
#include "base/VqLogEntries.h"
#include "base/VqLogNames.h"

namespace VqBase {

const wchar_t* PlantKindName(PlantKind kind) {
    switch (kind) {
        case PlantKind::Directory: return L"a directory";
        case PlantKind::Link: return L"a link";
        case PlantKind::HardLink: return L"a file with another link";
        case PlantKind::ForeignOwner: return L"a file of another owner";
        default: return L"nothing";
    }
}

std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
    return !directory.empty() && directory.back() == L'\\' ? directory + name : directory + L"\\" + name;
}

EntryVerdict JudgeEntry(HANDLE entry, const std::wstring* expectedPath, FILE_STANDARD_INFO& standard) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag, sizeof(tag)))
        return {PlantKind::None, WithError(L"attributes not readable", ::GetLastError())};
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return {PlantKind::Link, L"a reparse point"};
    if (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return {PlantKind::Directory, L"a directory has the file's name"};
    if (!::GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof(standard)))
        return {PlantKind::None, WithError(L"links not readable", ::GetLastError())};
    if (standard.NumberOfLinks != 1) return {PlantKind::HardLink, std::to_wstring(standard.NumberOfLinks) + L" links"};
    std::wstring final;
    if (expectedPath && FinalPath(entry, final) && !SamePath(final, *expectedPath))
        return {PlantKind::Link, L"redirected to \"" + final + L"\""};
    return {};
}

std::wstring MoveAside(HANDLE directory, const std::wstring& directoryPath, const std::wstring& name,
                       PlantKind foreign, MovedPlant& moved) {
    UniqueHandle entry;
    // Whatever it is, file or directory, opened itself and not what it may
    // link to: renaming it moves its entry and nothing else.
    const LONG status = OpenRelative(directory, name, DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0, nullptr,
                                     entry);
    if (status < 0) return WithError(L"cannot be moved aside", StatusToError(status));
    std::wstring final;
    // A handle that a followed link leads elsewhere would move the link's
    // target into the directory.
    if (!FinalPath(entry.get(), final) || !SamePath(final, JoinPath(directoryPath, name)))
        return L"a link that this system follows cannot be moved aside";
    FILE_STANDARD_INFO standard{};
    const EntryVerdict verdict = JudgeEntry(entry.get(), nullptr, standard);
    moved.Kind = verdict.Kind != PlantKind::None ? verdict.Kind : foreign;
    ObjectSecurity security;
    if (ReadSecurity(entry.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, security) == ERROR_SUCCESS &&
        security.Owner) {
        const auto* sid = static_cast<const BYTE*>(security.Owner);
        moved.Owner.assign(sid, sid + SidLength(sid));
    }
    const std::wstring token = RandomToken();
    if (token.empty()) return WithError(L"no random name to move it aside to", ::GetLastError());
    moved.Aside = PlantAsideName(name, token);
    const LONG renamed = RenameEntry(entry.get(), directory, moved.Aside, false);
    if (renamed < 0) return WithError(L"cannot be moved aside", StatusToError(renamed));
    return {};
}

}  // namespace VqBase
