#include "trace_check.h"

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"
#include "base/VqLogFile.h"
#include "base/VqLogVerdict.h"
#include "base/VqTrace.h"
#include "console.h"

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

int RunTraceCheck() {
    const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    std::wstring text;
    if (!settings.TraceKeyFound)
        text = L"note: the Trace key does not exist: the service writes no trace; judged is the default path\n";
    else if ((settings.Params.Value & VqBase::TP_FILE) == 0 || settings.Enable.Value == 0)
        text = L"note: the file sink or every level is off: the service writes no log file now; judged is the "
               L"configured path\n";
    std::wstring verdict;
    const bool written = JudgeLogFile(settings, verdict);
    Out(text + verdict);
    return written ? diagproto::kExitSuccess : kExitLogRefused;
}

}  // namespace diagctl
