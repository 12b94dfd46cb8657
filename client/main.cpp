// diagctl: the operator's and the tests' stand-in for the diagnostic tool.
// It reads the command line and hands each verb to its unit: the channel
// requests (export, quit, raw) are run here, the service verbs in scm.cpp,
// the session in session.cpp, the trace verbs in trace.cpp, the installer
// package's steps in package_steps.cpp.
#include <windows.h>

#include <string>
#include <vector>

#include "channel.h"
#include "cmdline.h"
#include "collect.h"
#include "console.h"
#include "diagproto.h"
#include "installed.h"
#include "product_locale.h"
#include "package_steps.h"
#include "request.h"
#include "scm.h"
#include "session.h"
#include "trace.h"
#include "usage.h"
#include "version.h"

namespace {

constexpr DWORD kDefaultTimeoutMs = 60000;

int Help(const diagctl::CommandLine& line) {
    // "help VERB" and "VERB --help" show that verb; anything else, everything.
    std::wstring verb = line.Verb == L"help" ? std::wstring() : line.Verb;
    if (line.Verb == L"help" && !line.Arguments.empty()) {
        std::wstring asked = line.Arguments[0];
        for (size_t i = 1; i < line.Arguments.size(); ++i)
            asked += L" " + line.Arguments[i];
        const diagctl::VerbInfo* info = diagctl::FindVerb(asked);
        if (info == nullptr && diagctl::GroupWords(asked).empty())
            return diagctl::UsageError(L"help", L"help takes one verb: \"" + asked + L"\" is none");
        verb = info != nullptr ? info->Verb : asked;
    }
    const diagctl::VerbInfo* info = diagctl::FindVerb(verb);
    if (info == nullptr && !verb.empty()) {
        diagctl::Out(diagctl::GroupUsage(verb));
        return diagproto::kExitSuccess;
    }
    diagctl::Out(info != nullptr ? diagctl::VerbUsage(*info) : diagctl::FullUsage());
    return diagproto::kExitSuccess;
}

diagctl::ChannelNames NamesOf(const diagctl::CommandLine& line) {
    diagctl::ChannelNames names =
        line.NamesPrefix ? diagctl::PrefixedChannelNames(*line.NamesPrefix) : diagctl::ProductChannelNames();
    if (line.Section)
        names.Section = *line.Section;
    if (line.DoWork)
        names.DoWork = *line.DoWork;
    if (line.WorkDone)
        names.WorkDone = *line.WorkDone;
    return names;
}

int RunChannelRequest(const diagctl::CommandLine& line) {
    diagctl::Request request;
    diagctl::RequestError error;
    size_t at = 0;
    if (!diagctl::ParseRequest(line.Verb, line.Arguments, at, false, line.AllowUntrustedTarget, request, error))
        return diagctl::ReportRequestError(line.Verb, error);

    const diagctl::ChannelNames names = NamesOf(line);
    if (diagctl::IsProductChannel(names))
        if (const int refused = diagctl::RefuseWhenNobodyServes(); refused != diagproto::kExitSuccess)
            return refused;
    std::wstring message;
    diagctl::Channel::CreateError kind = diagctl::Channel::CreateError::None;
    auto channel =
        diagctl::Channel::Create(names, line.SectionSize.value_or(diagctl::kDefaultSectionSize), message, &kind);
    if (!channel) {
        const DWORD error = GetLastError();
        return diagctl::ReportChannelFailure(names, message, kind, error);
    }
    if (request.Bytes.size() > channel->Size())
        return diagctl::UsageError(line.Verb, L"the request needs " + std::to_wstring(request.Bytes.size()) +
                                                  L" bytes; the section holds " + std::to_wstring(channel->Size()));
    diagctl::RequestRun run;
    const int code = diagctl::RunRequest(*channel, request, line.TimeoutMs.value_or(kDefaultTimeoutMs), &run);
    if (line.Json)
        diagctl::OutJson(run.Json.Text());
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const diagctl::CommandLine line = diagctl::ParseCommandLine(std::vector<std::wstring>(argv + 1, argv + argc));
    if (!line.Error.empty())
        return diagctl::UsageError(line.Verb, line.Error);
    if (line.Json)
        diagctl::JsonOutputOnly();
    if (line.Version) {
        const diagctl::InstalledVersions installed = diagctl::ReadInstalledVersions();
        if (line.Json)
            diagctl::OutJson(diagctl::VersionsJson(diagctl::OwnVersion(), installed).Text());
        else
            diagctl::Out(diagctl::VersionsText(diagctl::OwnVersion(), installed));
        return diagproto::kExitSuccess;
    }
    if (line.Help || line.Verb.empty())
        return Help(line);
    if (diagctl::IsServiceVerb(line.Verb))
        return diagctl::RunServiceVerb(line);
    if (diagctl::IsPackageStep(line.Verb))
        return diagctl::RunPackageStep(line);
    if (line.Verb == L"session")
        return diagctl::RunSession(line);
    if (diagctl::IsTraceVerb(line.Verb))
        return diagctl::RunTraceVerb(line);
    if (diagctl::IsLocaleVerb(line.Verb))
        return diagctl::RunLocaleVerb(line);
    if (line.Verb == L"collect")
        return diagctl::RunCollect(line, diagctl::OwnVersion());
    return RunChannelRequest(line);
}
