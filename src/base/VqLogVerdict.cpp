// What the file sink will do with a log file, judged without a change.
#include "base/VqLogVerdict.h"

#include "base/VqLogDirectory.h"
#include "base/VqLogNames.h"
#include "base/VqLogPlants.h"

namespace VqBase {

namespace {

constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Empty when name could be opened as the sink opens it for access (with
// the sink's sharing, share), or is missing; else why not.
std::wstring Held(const CLogTarget& target, const std::wstring& name, ACCESS_MASK access, ULONG share) {
    UniqueHandle handle;
    const LONG status =
        OpenRelative(target.Directory.Handle(), name, access | FILE_READ_ATTRIBUTES, share, FILE_OPEN, 0, nullptr, handle);
    if (status >= 0 || status == kStatusObjectNameNotFound) return {};
    return WithError(L"\"" + name + L"\" is held open by another program", StatusToError(status));
}

}  // namespace

LogSinkVerdict JudgeLogSink(const CLogTarget& target, const LogFileRules& rules, DWORD bound) {
    const std::wstring path = JoinPath(target.Directory.Path(), target.File);
    const std::wstring fallback =
        L"; its lines go to a file of its own, " +
        JoinPath(target.Directory.Path(), FallbackFileName(target.File, L"<random>")) + L", until its next start";
    LogSinkVerdict verdict;
    CTraceFile file;
    const CTraceFile::Result judged = file.Judge(target.Directory.Handle(), target.File, rules);
    std::wstring why = file.Problem();
    std::wstring first;
    if (judged == CTraceFile::Refused && file.Plant() != PlantKind::None && !rules.Common) {
        // A plant at a private file's name is moved aside, unless it is held.
        why = Held(target, target.File, DELETE, kShareAll);
        if (!why.empty()) why = std::wstring(PlantKindName(file.Plant())) + L" stands there and " + why;
        else
            first = L" (first it moves " + std::wstring(PlantKindName(file.Plant())) + L" that stands there aside to " +
                    PlantAsideName(target.File, L"<random>") + L")";
    } else if (judged == CTraceFile::Opened) {
        // Whoever holds it without sharing it for appending locks it.
        why = Held(target, target.File, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE);
    }
    if (why.empty() && bound != 0) {
        // A rotation replaces NAME and NAME.1: neither may be held without
        // delete sharing, and a plant at NAME.1 is moved aside first.
        why = Held(target, target.File, DELETE, kShareAll);
        if (why.empty()) why = Held(target, RotatedName(target.File), DELETE, kShareAll);
        if (!why.empty()) why = L"its rotation will be blocked: " + why;
    }
    if (why.empty()) {
        verdict.Text = L"the service will write to " + path + first;
        return verdict;
    }
    verdict.Do = LogSinkVerdict::Fallback;
    verdict.Text = L"the service will not write to " + path + L": " + why + fallback;
    return verdict;
}

}  // namespace VqBase
