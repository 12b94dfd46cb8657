#include "trace_check.h"

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"
#include "base/VqLogFile.h"
#include "base/VqLogVerdict.h"
#include "base/VqTrace.h"
#include "console.h"
#include "trace.h"

namespace diagctl {

LogVerdict JudgeLog(const VqBase::TraceSettings& settings) {
    LogVerdict verdict;
    verdict.File = settings.FilePath;
    // Judged as diagctl's own account: under Wine the service runs as that
    // account too; on Windows the service's LocalSystem is trusted anyway.
    // The target is taken apart and walked by the sink's own code.
    const std::vector<BYTE> self = VqBase::ProcessUserSid();
    const std::shared_ptr<const VqBase::CLogTarget> target =
        VqBase::WalkLogTarget(settings.FilePath, self, settings.FilePathProblem, VqBase::WalkMode::Judge);
    if (target->Result != VqBase::CLogDirectory::Held) {
        verdict.Reason = target->Problem;
        return verdict;
    }
    const VqBase::CLogDirectory& directory = target->Directory;
    verdict.Writes = true;
    if (!directory.Missing().empty()) {
        verdict.Creates = directory.Missing();
        return verdict;
    }
    VqBase::LogFileRules rules;
    rules.Common = settings.Common.Value != 0;
    rules.Append = (settings.Params.Value & VqBase::TP_APPEND) != 0;
    rules.Self = self.empty() ? nullptr : self.data();
    rules.DirectoryPath = &directory.Path();
    // A file it cannot write sends its lines to a fallback file: said, not
    // refused.
    const VqBase::LogSinkVerdict sink = VqBase::JudgeLogSink(*target, rules, settings.MaxFileSize.Value);
    verdict.Fallback = sink.Do == VqBase::LogSinkVerdict::Fallback;
    verdict.Sink = sink.Text;
    return verdict;
}

std::wstring VerdictText(const LogVerdict& verdict) {
    if (!verdict.Writes)
        return L"the service will refuse " + verdict.File + L": " + verdict.Reason + L"\n";
    if (!verdict.Creates.empty())
        return L"the service will write to " + verdict.File + L" (it will create \"" + verdict.Creates +
               L"\" and what is below it)\n";
    if (!verdict.Sink.empty())
        return verdict.Sink + L"\n";
    return L"the service will write to " + verdict.File + L"\n";
}

bool JudgeLogFile(const VqBase::TraceSettings& settings, std::wstring& text) {
    const LogVerdict verdict = JudgeLog(settings);
    text = VerdictText(verdict);
    return verdict.Writes;
}

namespace {

// Why the service writes no log file at all (nothing to refuse then), or
// empty when it writes one.
std::wstring NoLogFile(const VqBase::TraceSettings& settings) {
    if (!settings.TraceKeyFound)
        return NotTracedSentence();
    if (settings.Enable.Value == 0)
        return L"the service will write no log file: every level is off (EnableMask 0)\n";
    if ((settings.Params.Value & VqBase::TP_FILE) == 0)
        return L"the service will write no log file: the file sink is off\n";
    return {};
}

}  // namespace

TraceCheck CheckTrace() {
    const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    TraceCheck check;
    const std::wstring none = NoLogFile(settings);
    // Without the Trace key there is no path to judge; with the file off the
    // path is still judged, for the day the file is written.
    const bool judged = settings.TraceKeyFound;
    const LogVerdict verdict = judged ? JudgeLog(settings) : LogVerdict{};
    const std::wstring text = judged ? VerdictText(verdict) : std::wstring();
    if (!none.empty()) {
        check.Text = none + (judged ? L"were it written: " + text : std::wstring());
        check.ExitCode = diagproto::kExitSuccess;
    } else {
        check.Text = text;
        check.ExitCode = verdict.Writes ? diagproto::kExitSuccess : kExitLogRefused;
    }
    const wchar_t* word = !none.empty()      ? L"none"
                          : !verdict.Writes  ? L"refuse"
                          : verdict.Fallback ? L"fallback"
                                             : L"write";
    std::wstring note = none;
    if (!note.empty() && note.back() == L'\n')
        note.pop_back();
    check.Json.String(L"kind", L"traceCheck")
        .StringOrNull(L"file", verdict.File)
        .String(L"verdict", word)
        .StringOrNull(L"reason", !verdict.Writes                                          ? verdict.Reason
                                 : verdict.Sink == L"the service will write to " + verdict.File ? std::wstring()
                                                                                                  : verdict.Sink)
        .StringOrNull(L"creates", verdict.Creates)
        .StringOrNull(L"note", note)
        .Number(L"exitCode", static_cast<DWORD>(check.ExitCode));
    return check;
}

int RunTraceCheck(bool json) {
    const TraceCheck check = CheckTrace();
    if (json)
        OutJson(check.Json.Text());
    else
        Out(check.Text);
    return check.ExitCode;
}

}  // namespace diagctl
