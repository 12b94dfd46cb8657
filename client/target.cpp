#include "target.h"

#include <windows.h>

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"

namespace diagctl {
namespace {

// Why the existing file in the held directory would lead the write
// elsewhere, or empty.
std::wstring JudgeExistingFile(const VqBase::CLogDirectory& directory, const std::wstring& name) {
    VqBase::UniqueHandle file;
    const LONG status = VqBase::OpenRelative(directory.Handle(), name, FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0,
                                             nullptr, file);
    if (status < 0) return {};  // missing: reg.exe makes it; else reg.exe says why not
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (::GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof(tag)) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return L"\"" + name + L"\" is a reparse point";
    if (::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof(standard)) &&
        standard.NumberOfLinks > 1 && !standard.Directory)
        return L"\"" + name + L"\" has " + std::to_wstring(standard.NumberOfLinks) + L" links";
    // Some systems (Wine) follow a link even when asked not to: the final
    // path shows it.
    std::wstring final;
    if (!VqBase::FinalPath(file.get(), final)) return {};
    const std::wstring expected = directory.Path() + (directory.Path().back() == L'\\' ? L"" : L"\\") + name;
    if (!VqBase::SamePath(final, expected)) return L"\"" + expected + L"\" leads to \"" + final + L"\"";
    return {};
}

}  // namespace

std::wstring JudgeExportTarget(const std::wstring& file) {
    const std::optional<VqBase::LogPathParts> parts = VqBase::SplitLogPath(file.c_str());
    // A path the judgement cannot take apart is one reg.exe refuses too.
    if (!parts || parts->File.empty()) return {};
    VqBase::CLogDirectory directory;
    switch (directory.Walk(*parts, VqBase::ProcessUserSid(), VqBase::WalkMode::Judge)) {
        case VqBase::CLogDirectory::Refused:
            return directory.Problem();
        case VqBase::CLogDirectory::NotOpened:
            return {};
        case VqBase::CLogDirectory::Held:
            break;
    }
    // A missing directory: reg.exe cannot write there at all.
    if (!directory.Missing().empty()) return {};
    return JudgeExistingFile(directory, parts->File);
}

}  // namespace diagctl
