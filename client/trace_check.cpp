#include "trace_check.h"

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"
#include "base/VqLogFile.h"
#include "base/VqLogVerdict.h"
#include "base/VqTrace.h"
#include "console.h"
#include "trace.h"

namespace diagctl {

bool JudgeLogFile(const VqBase::TraceSettings& settings, std::wstring& verdict) {
    const std::wstring& path = settings.FilePath;
    auto refuse = [&](const std::wstring& reason) {
        verdict = L"the service will refuse " + path + L": " + reason + L"\n";
        return false;
    };
    // Judged as diagctl's own account: under Wine the service runs as that
    // account too; on Windows the service's LocalSystem is trusted anyway.
    // The target is taken apart and walked by the sink's own code.
    const std::vector<BYTE> self = VqBase::ProcessUserSid();
    const std::shared_ptr<const VqBase::CLogTarget> target =
        VqBase::WalkLogTarget(path, self, settings.FilePathProblem, VqBase::WalkMode::Judge);
    if (target->Result != VqBase::CLogDirectory::Held)
        return refuse(target->Problem);
    const VqBase::CLogDirectory& directory = target->Directory;
    if (!directory.Missing().empty()) {
        verdict = L"the service will write to " + path + L" (it will create \"" + directory.Missing() +
                  L"\" and what is below it)\n";
        return true;
    }
    const bool common = settings.Common.Value != 0;
    const bool append = (settings.Params.Value & VqBase::TP_APPEND) != 0;
    VqBase::LogFileRules rules;
    rules.Common = common;
    rules.Append = append;
    rules.Self = self.empty() ? nullptr : self.data();
    rules.DirectoryPath = &directory.Path();
    // A file it cannot write sends its lines to a fallback file: said, not
    // refused.
    verdict = VqBase::JudgeLogSink(*target, rules, settings.MaxFileSize.Value).Text + L"\n";
    return true;
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

int RunTraceCheck() {
    const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    std::wstring verdict;
    if (const std::wstring none = NoLogFile(settings); !none.empty()) {
        // The path is still judged, for the day the file is written.
        if (settings.TraceKeyFound) {
            JudgeLogFile(settings, verdict);
            verdict = L"were it written: " + verdict;
        }
        Out(none + verdict);
        return diagproto::kExitSuccess;
    }
    const bool written = JudgeLogFile(settings, verdict);
    Out(verdict);
    return written ? diagproto::kExitSuccess : kExitLogRefused;
}

}  // namespace diagctl
