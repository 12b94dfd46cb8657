#include "usage.h"

#include <iterator>
#include <string_view>

#include "cmdline.h"
#include "console.h"
#include "diagproto.h"
#include "errortext.h"
#include "trace_check.h"

namespace diagctl {
namespace {

constexpr VerbInfo kVerbs[] = {
    {L"export", L"KEY=FILE [KEY=FILE ...]",
     L"post one ExportRegKeys request (each pair split at its first '='; FILE is made absolute against the current "
     L"directory and overwritten when it exists)",
     kChannelOptions | kRequestOptions | kTargetOption | kJsonOption},
    {L"quit", L"", L"post Quit", kChannelOptions | kRequestOptions | kJsonOption},
    {L"raw", L"WORKTYPE DATASIZE [HEXBYTES]",
     L"post any record, for tests of bad input (WORKTYPE and DATASIZE signed 32-bit numbers)",
     kChannelOptions | kRequestOptions | kJsonOption},
    {L"session", L"[REQUEST ...]",
     L"create the channel, start the service, run each REQUEST (export KEY=FILE ... | raw WORKTYPE DATASIZE "
     L"[HEXBYTES]), post Quit and show how the service ended",
     kRequestOptions | kTargetOption | kJsonOption},
    {L"install", L"[EXE]", L"register the service (default: ReRiruRuvazor.exe next to diagctl.exe)", kForceOption},
    {L"uninstall", L"", L"stop the service if it runs and remove it", kTimeoutOption | kForceOption},
    {L"start", L"[ARG ...]",
     L"start the service; it refuses any start parameter ARG (it stops with exit codes 160 and 0xFFFFFFFF)",
     kTimeoutOption},
    {L"stop", L"", L"stop the service and wait until it has stopped; one that is stopped already is success", kTimeoutOption},
    {L"control", L"CODE", L"send a control code, 1 to 255 (decimal or 0x-hexadecimal)", kNoOptions},
    {L"status", L"",
     L"state, both exit codes and what they mean, process id, start type and image path; exit 0 while it runs or "
     L"after a clean run, 536870920 after a failed run, 1060 when it is not installed",
     kJsonOption},
    {L"trace show", L"",
     L"the trace configuration the service reads at its next start: levels, sinks, fields, the log file, where "
     L"each value came from, and every value that counts as absent and why",
     kJsonOption},
    {L"trace set", L"",
     L"write the trace configuration of the service (only the values given; MaxFileSize 16 MiB, and date, time, "
     L"msec and ids as fields, when none are set); every option is checked before anything is written",
     kTraceSetOptions},
    {L"trace off", L"",
     L"switch the service's trace off: EnableMask 0 in its program key, the value it replaces kept for trace on",
     kNoOptions},
    {L"trace on", L"", L"bring back the levels that trace off kept", kNoOptions},
    {L"trace check", L"",
     L"judge the configured log file's directories and file as the service will, creating nothing, and say "
     L"whether it will write or refuse it",
     kJsonOption},
    {L"trace tail", L"", L"the last lines of the log file; --follow goes on printing new ones until Ctrl+C",
     kTailOptions},
    {L"locale show", L"", L"the product language (ProductLocale) that error texts are in, and whether it counts",
     kNoOptions},
    {L"locale set", L"NAME",
     L"write ProductLocale, a five-character locale name Windows knows (en-US, ru-RU, ...), for every program of "
     L"the product; it counts from each program's next start",
     kNoOptions},
    {L"collect", L"DIR",
     L"create DIR, which only LocalSystem and the Administrators may change, and gather into it what a support "
     L"case needs: the log files, the trace configuration and its check, the status, the versions, the service's "
     L"event log entries, and a summary of each piece",
     kNoOptions},
    {L"help", L"[VERB]", L"this text, or one verb's usage", kNoOptions},
    {L"package-stop", L"", L"stop the service and wait until its process has ended", kTimeoutOption, true},
    {L"package-configure", L"", L"declare the service's required privileges and SID type", kNoOptions, true},
};

constexpr OptionInfo kOptions[] = {
    {L"--names", L"PREFIX", L"use PREFIX.Section, PREFIX.DoWork and PREFIX.WorkDone", kChannelOptions},
    {L"--section", L"NAME", L"the shared section's name", kChannelOptions},
    {L"--do-work", L"NAME", L"the do-work event's name", kChannelOptions},
    {L"--work-done", L"NAME", L"the work-done event's name", kChannelOptions},
    {L"--size", L"BYTES", L"the section's size, 8 to 1073741824 (default 65536)", kSizeOption},
    {L"--timeout", L"MS",
     L"how long to wait for each reply (default 60000, in a session 120000) or for the service (start 15000, "
     L"stop 30000); 1 to 86400000",
     kTimeoutOption},
    {L"--allow-untrusted-target", nullptr,
     L"export into a directory that others may change, or over a link, with a warning (refused otherwise: the "
     L"service writes as LocalSystem)",
     kTargetOption},
    {L"--force", nullptr,
     L"install an executable that others may change, or remove a registration the package made, with a warning",
     kForceOption},
    {L"--levels", L"LIST", L"levels written: info, warning, error, break, separated by commas, or none",
     kTraceSetOptions},
    {L"--sinks", L"LIST", L"where lines go: file, debugger, console, separated by commas, or none", kTraceSetOptions},
    {L"--fields", L"LIST",
     L"what leads each line: date, time, msec, name, session, ids, separated by commas, or none", kTraceSetOptions},
    {L"--path", L"DIR", L"the log file's directory (TracePath), a full path: C:\\... or \\\\server\\share\\...",
     kTraceSetOptions},
    {L"--append", L"on|off", L"keep the log at each start (on) or empty it (off)", kTraceSetOptions},
    {L"--common", L"on|off", L"share VqTrace.log with the product's other programs (on) or not", kTraceSetOptions},
    {L"--max-size", L"BYTES",
     L"rotate the log to NAME.1 before it would grow past BYTES (at least 4096; 0: no bound)", kTraceSetOptions},
    {L"-n", L"N", L"how many lines, 0 to 4294967295 (default 20)", kTailOptions},
    {L"--follow", nullptr, L"wait for new lines, across restarts of the service, until Ctrl+C", kTailOptions},
    {L"--json", nullptr, L"print one JSON object (docs/diagctl.schema.json) instead of the text", kJsonOption},
};

constexpr size_t kColumn = 36;

std::wstring Line(const std::wstring& head, const std::wstring& summary) {
    std::wstring line = L"  " + head;
    line.append(line.size() < kColumn ? kColumn - line.size() : 1, L' ');
    return line + summary + L"\n";
}

std::wstring VerbLine(const VerbInfo& verb) {
    std::wstring head = verb.Verb;
    if (*verb.Arguments != L'\0')
        head += std::wstring(L" ") + verb.Arguments;
    return Line(head, verb.Summary);
}

std::wstring OptionHead(const OptionInfo& option) {
    return std::wstring(option.Name) + (option.Value ? std::wstring(L" ") + option.Value : std::wstring());
}

std::wstring VerbsUsing(unsigned group) {
    std::wstring names;
    for (const VerbInfo& verb : kVerbs)
        if ((verb.Options & group) && !verb.Hidden)
            names += (names.empty() ? L"" : L", ") + std::wstring(verb.Verb);
    return names;
}

std::wstring Code(int code) {
    const auto value = static_cast<DWORD>(code);
    return std::to_wstring(value) + L" (" + HexCode(value) + L")";
}

}  // namespace

const VerbInfo* FindVerb(const std::wstring& verb) {
    for (const VerbInfo& info : kVerbs)
        if (SameName(verb, info.Verb))
            return &info;
    return nullptr;
}

const OptionInfo* FindOption(const std::wstring& name) {
    for (const OptionInfo& info : kOptions)
        if (SameName(name, info.Name))
            return &info;
    return nullptr;
}

std::wstring ExitCodeTable() {
    using namespace diagproto;
    return L"exit codes:\n" + Line(L"0", L"success") +
           Line(Code(kExitUsage), L"a wrong command line") +
           Line(Code(kExitRefused), L"the service refused a request (result 13)") +
           Line(Code(kExitFailed), L"a request failed (another result, or a reg.exe exit code not 0, or the "
                                   L"service ended during a session's request without a reply), or the service did "
                                   L"not end with exit codes 0 and 0; a session exits with the code of its first "
                                   L"failed request") +
           Line(Code(kExitTimeout), L"no reply in time") +
           Line(Code(kExitChannelTaken), L"a name of the channel exists already, or another program squats it") +
           Line(Code(kExitLogRefused), L"trace check: the service will refuse the configured log file") +
           Line(Code(kExitTargetRefused), L"export, session: an export FILE was refused before anything was posted "
                                          L"(the reason is printed, no usage)") +
           Line(Code(kExitStoppedAfterFailure),
                L"status: the service is stopped after a run that failed (exit codes other than 0 and 0, or 1077 "
                L"and 0); 0 while it runs, after a clean run and when it has not run since it was installed") +
           Line(Code(kExitCollectIncomplete), L"collect: some pieces could not be collected (the summary names them)") +
           Line(Code(kExitUntrustedExecutable), L"install refused: others may change the executable or add to a "
                                                L"directory of its path") +
           Line(Code(kExitPackageRegistration), L"uninstall refused: the installer package made the registration "
                                                L"(remove it with msiexec /x)") +
           Line(L"any other", L"the Win32 error of the system call that failed (1060: the service is not "
                              L"installed, 5: access denied, ...), printed with its text; export, quit and raw exit "
                              L"with 1062 (or 1060) when the service is stopped (or not installed)") +
           L"  (under Wine a Unix shell sees the low 8 bits only: 536870914 as 2, 1060 as 36; there an own code\n"
           L"  can look like an error: 536870917 and error 5 both arrive as 5)\n";
}

std::wstring FullUsage() {
    std::wstring text = L"usage: diagctl [OPTION ...] VERB [ARGUMENT ...] [OPTION ...]\n\nverbs:\n";
    for (const VerbInfo& verb : kVerbs)
        if (!verb.Hidden)
            text += VerbLine(verb);
    text += L"\noptions (before or after the verb):\n";
    for (const OptionInfo& option : kOptions)
        text += Line(OptionHead(option), option.Summary + std::wstring(L"; ") + VerbsUsing(option.Group));
    text += Line(L"--help, -h, /?", L"this text; after a verb, that verb's usage");
    text += Line(L"--version", L"the versions of diagctl, of the installed service's executable and of the "
                               L"installed package (with --json, as JSON)");
    text += Line(L"--", L"what follows is arguments, also when it begins with \"--\"");
    text += L"\n" + ExitCodeTable();
    text += L"\nError texts are in the language that the ProductLocale value of\n"
            L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenmoor\\Orvanta names (ru-RU when it is absent).\n";
    return text;
}

std::wstring VerbUsage(const VerbInfo& verb) {
    std::wstring text = L"usage: diagctl" + std::wstring(verb.Options ? L" [OPTION ...]" : L"") + L" " +
                        verb.Verb + (*verb.Arguments ? std::wstring(L" ") + verb.Arguments : std::wstring()) + L"\n" +
                        VerbLine(verb);
    if (verb.Options != kNoOptions) {
        text += L"options:\n";
        for (const OptionInfo& option : kOptions)
            if (verb.Options & option.Group)
                text += Line(OptionHead(option), option.Summary);
    }
    return text + L"run \"diagctl help\" for every verb, option and exit code\n";
}

// The words a group takes ("show, set, off, ..." for trace).
std::wstring GroupWords(const std::wstring& group) {
    std::wstring words;
    for (const VerbInfo& verb : kVerbs) {
        const std::wstring name = verb.Verb;
        if (name.size() > group.size() && SameName(name.substr(0, group.size() + 1), group + L" "))
            words += (words.empty() ? L"" : L", ") + name.substr(group.size() + 1);
    }
    return words;
}

std::wstring GroupUsage(const std::wstring& group) {
    std::wstring text;
    for (const VerbInfo& verb : kVerbs) {
        const std::wstring name = verb.Verb;
        if (name.size() > group.size() && SameName(name.substr(0, group.size() + 1), group + L" "))
            text += VerbUsage(verb);
    }
    return text;
}

std::wstring TraceUsage() { return GroupUsage(L"trace"); }

std::wstring VerbList() {
    std::wstring text = L"usage: diagctl [OPTION ...] VERB [ARGUMENT ...] [OPTION ...]\nverbs:\n";
    for (const VerbInfo& verb : kVerbs)
        if (!verb.Hidden)
            text += VerbLine(verb);
    return text + L"run \"diagctl help\" for every option and exit code, \"diagctl help VERB\" for one verb\n";
}

int UsageError(const std::wstring& verb, const std::wstring& message) {
    // One verb's usage when the verb is known, its group's when only the
    // group is; otherwise the verbs, one line each.
    const VerbInfo* info = FindVerb(verb);
    const std::wstring group = verb.substr(0, verb.find(L' '));
    const std::wstring groupUsage = info == nullptr ? GroupUsage(group) : std::wstring();
    Err(L"diagctl: " + message + L"\n" +
        (info != nullptr ? VerbUsage(*info) : !groupUsage.empty() ? groupUsage : VerbList()));
    return diagproto::kExitUsage;
}

}  // namespace diagctl
