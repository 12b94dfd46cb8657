#include "trace_check.h"

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"
#include "base/VqLogFile.h"
#include "base/VqTrace.h"
#include "console.h"

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
    if (!directory.Missing().empty()) {
        verdict.Writes = true;
        verdict.Creates = directory.Missing();
        return verdict;
    }
    VqBase::LogFileRules rules;
    rules.Common = settings.Common.Value != 0;
    rules.Append = (settings.Params.Value & VqBase::TP_APPEND) != 0;
    rules.Self = self.empty() ? nullptr : self.data();
    VqBase::CTraceFile file;
    if (file.Judge(directory.Handle(), target->File, rules) != VqBase::CTraceFile::Opened)
        verdict.Reason = file.Problem();
    else
        verdict.Writes = true;
    return verdict;
}

std::wstring VerdictText(const LogVerdict& verdict) {
    if (!verdict.Writes)
        return L"the service will refuse " + verdict.File + L": " + verdict.Reason + L"\n";
    if (!verdict.Creates.empty())
        return L"the service will write to " + verdict.File + L" (it will create \"" + verdict.Creates +
               L"\" and what is below it)\n";
    return L"the service will write to " + verdict.File + L"\n";
}

bool JudgeLogFile(const VqBase::TraceSettings& settings, std::wstring& text) {
    const LogVerdict verdict = JudgeLog(settings);
    text = VerdictText(verdict);
    return verdict.Writes;
}

TraceCheck CheckTrace() {
    const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    std::wstring note;
    if (!settings.TraceKeyFound)
        note = L"the Trace key does not exist: the service writes no trace; judged is the default path";
    else if ((settings.Params.Value & VqBase::TP_FILE) == 0 || settings.Enable.Value == 0)
        note = L"the file sink or every level is off: the service writes no log file now; judged is the "
               L"configured path";
    const LogVerdict verdict = JudgeLog(settings);
    TraceCheck check;
    check.Text = (note.empty() ? std::wstring() : L"note: " + note + L"\n") + VerdictText(verdict);
    check.ExitCode = verdict.Writes ? diagproto::kExitSuccess : kExitLogRefused;
    check.Json.String(L"kind", L"traceCheck")
        .String(L"file", verdict.File)
        .String(L"verdict", verdict.Writes ? L"write" : L"refuse")
        .StringOrNull(L"reason", verdict.Reason)
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
