// The size bound of a log file and its rotation.
#include "base/VqLogRotation.h"

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"
#include "base/VqLogEntries.h"
#include "base/VqLogSecurity.h"

namespace VqBase {

namespace {

constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG kStatusObjectNameCollision = static_cast<LONG>(0xC0000035);
// A user who plants at NAME.1 again at once is met again, this often.
constexpr int kClearAttempts = 4;
// A reader that has NAME open blocks its replacement (the system replaces
// no open file); the reader's open is short.
constexpr int kSwapAttempts = 3;
constexpr DWORD kSwapRetryMs = 10;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// NAME.1 as it stands before the link: the older generation, when it is
// the sink's, renamed to a name of its own (retired) to be deleted once
// the rotation is done; anything else moved aside for good.
std::wstring ClearRotated(const LogRotation& rotation, const std::wstring& rotated, UniqueHandle& retired,
                          std::vector<MovedPlant>& moved) {
    UniqueHandle entry;
    const LONG status = OpenRelative(rotation.Directory, rotated, DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                     kShareAll, FILE_OPEN, 0, nullptr, entry);
    if (status == kStatusObjectNameNotFound) return {};
    if (status < 0) return WithError(L"\"" + rotated + L"\" cannot be replaced", StatusToError(status));
    const std::wstring expected = JoinPath(*rotation.DirectoryPath, rotated);
    FILE_STANDARD_INFO standard{};
    EntryVerdict verdict = JudgeEntry(entry.get(), &expected, standard);
    LONGLONG index = 0;
    if (verdict.Kind == PlantKind::None && !verdict.Reason.empty())
        return L"\"" + rotated + L"\": " + verdict.Reason;
    if (verdict.Kind == PlantKind::None && !FileIndexOf(entry.get(), index))
        return L"\"" + rotated + L"\": index not readable";
    // Once the older generation is on its way out, whatever comes to stand
    // at NAME.1 is someone else's.
    if (verdict.Kind == PlantKind::None && retired) verdict.Kind = PlantKind::ForeignOwner;
    if (verdict.Kind == PlantKind::None && index != rotation.RotatedIndex->load()) {
        ObjectSecurity security;
        if (ReadSecurity(entry.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, security) != ERROR_SUCCESS ||
            !JudgeLogFileOwner(security.Owner, rotation.Rules->Self).empty())
            verdict.Kind = PlantKind::ForeignOwner;
    }
    if (verdict.Kind != PlantKind::None) {
        entry.reset();
        MovedPlant plant;
        const std::wstring problem =
            MoveAside(rotation.Directory, *rotation.DirectoryPath, rotated, verdict.Kind, plant);
        if (!problem.empty()) return L"\"" + rotated + L"\" (" + PlantKindName(verdict.Kind) + L") " + problem;
        moved.push_back(std::move(plant));
        return {};
    }
    const std::wstring token = RandomToken();
    if (token.empty()) return WithError(L"no random name", ::GetLastError());
    const LONG renamed = RenameEntry(entry.get(), rotation.Directory, RetiredName(rotation.Name, token), false);
    if (renamed < 0) return WithError(L"\"" + rotated + L"\" cannot be replaced", StatusToError(renamed));
    retired = std::move(entry);
    return {};
}

// Removes the link NAME.1 that a failed rotation gave the file.
void Unlink(const LogRotation& rotation, const std::wstring& rotated) {
    UniqueHandle link;
    LONGLONG index = 0;
    if (OpenRelative(rotation.Directory, rotated, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                     FILE_NON_DIRECTORY_FILE, nullptr, link) >= 0 &&
        FileIndexOf(link.get(), index) && index == rotation.Index)
        DeleteEntry(link.get());
}

}  // namespace

bool RotationDue(ULONGLONG fileSize, size_t lineSize, DWORD bound) {
    return bound != 0 && fileSize != 0 && fileSize + lineSize > bound;
}

std::wstring RotateLogFile(const LogRotation& rotation, CTraceFile& next, std::vector<MovedPlant>& moved) {
    const std::wstring rotated = RotatedName(rotation.Name);
    const std::wstring token = RandomToken();
    if (token.empty()) return WithError(L"no random name for the next file", ::GetLastError());
    // The next file first, under a name nobody can take before it is made.
    const std::wstring nextName = NextFileName(rotation.Name, token);
    // Known to the sink only once it has NAME's place.
    LogFileRules rules = *rotation.Rules;
    rules.KnownIndex = nullptr;
    if (next.Create(rotation.Directory, nextName, rules) != CTraceFile::Opened)
        return L"the next file: " + next.Problem();
    auto abandon = [&](const std::wstring& why) {
        DeleteEntry(next.Handle());
        next.Close();
        return why;
    };
    LONG status = 0;

    // NAME.1 from the checked file, by a second link: NAME keeps naming it.
    UniqueHandle retired;
    for (int attempt = 0;; ++attempt) {
        const std::wstring problem = ClearRotated(rotation, rotated, retired, moved);
        if (!problem.empty()) return abandon(problem);
        UniqueHandle current;
        LONGLONG index = 0;
        // Attribute access only: it shares with any holder, and it is closed
        // again before the swap, which no open handle may see.
        status = OpenRelative(rotation.Directory, rotation.Name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, current);
        if (status < 0) return abandon(WithError(L"cannot open for the link", StatusToError(status)));
        if (!FileIndexOf(current.get(), index) || index != rotation.Index)
            return abandon(L"replaced before its rotation");
        status = LinkEntry(current.get(), rotation.Directory, rotated);
        // Planted again between the clearing and the link: met again.
        if (status != kStatusObjectNameCollision || attempt + 1 == kClearAttempts) break;
    }
    if (status < 0) {
        if (retired) RenameEntry(retired.get(), rotation.Directory, rotated, false);
        return abandon(WithError(L"cannot link \"" + rotated + L"\"", StatusToError(status)));
    }

    // One replacing rename: NAME names the rotated file until it names the
    // next one.
    for (int attempt = 1;; ++attempt) {
        status = RenameEntry(next.Handle(), rotation.Directory, rotation.Name, true);
        if (status >= 0 || attempt == kSwapAttempts) break;
        ::Sleep(kSwapRetryMs);
    }
    if (status < 0) {
        Unlink(rotation, rotated);
        if (retired) RenameEntry(retired.get(), rotation.Directory, rotated, false);
        return abandon(WithError(L"\"" + rotation.Name + L"\" cannot be replaced (held open)", StatusToError(status)));
    }
    rotation.RotatedIndex->store(rotation.Index);
    if (rotation.Rules->KnownIndex) rotation.Rules->KnownIndex->store(next.Index());
    if (retired) DeleteEntry(retired.get());
    return {};
}

}  // namespace VqBase
