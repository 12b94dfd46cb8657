#include "cmdline.h"

#include "diagproto.h"
#include "usage.h"

namespace diagctl {
namespace {

bool IsHelp(const std::wstring& arg) { return arg == L"--help" || arg == L"-h" || arg == L"/?"; }

bool ParseUnsigned(const std::wstring& text, DWORD& value) {
    std::int32_t parsed = 0;
    if (!diagproto::ParseInt32(text, parsed) || text[0] == L'-')
        return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

// Stores one option's value; false (with line.Error) when the value is bad.
bool Store(CommandLine& line, const std::wstring& option, const std::wstring& value) {
    DWORD number = 0;
    if (option == L"--names")
        line.NamesPrefix = value;
    else if (option == L"--section")
        line.Section = value;
    else if (option == L"--do-work")
        line.DoWork = value;
    else if (option == L"--work-done")
        line.WorkDone = value;
    else if (option == L"--size") {
        if (!ParseUnsigned(value, number) || number < diagproto::kHeaderSize) {
            line.Error = L"bad section size \"" + value + L"\" (at least " + std::to_wstring(diagproto::kHeaderSize) +
                         L" bytes)";
            return false;
        }
        line.SectionSize = number;
    } else if (option == L"-n") {
        if (!ParseUnsigned(value, number)) {
            line.Error = L"bad line count \"" + value + L"\"";
            return false;
        }
        line.TailLines = number;
    } else if (option == L"--levels")
        line.Levels = value;
    else if (option == L"--sinks")
        line.Sinks = value;
    else if (option == L"--fields")
        line.Fields = value;
    else if (option == L"--path")
        line.Path = value;
    else if (option == L"--append")
        line.Append = value;
    else if (option == L"--common")
        line.Common = value;
    else if (option == L"--max-size")
        line.MaxSize = value;
    else if (option == L"--timeout") {
        if (!ParseUnsigned(value, number)) {
            line.Error = L"bad time-out \"" + value + L"\" (milliseconds)";
            return false;
        }
        line.TimeoutMs = number;
    }
    return true;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::wstring>& args) {
    CommandLine line;
    std::vector<std::wstring> given;  // the options, to check them against the verb
    bool optionsEnd = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (!optionsEnd && arg == L"--") {
            optionsEnd = true;
        } else if (!optionsEnd && IsHelp(arg)) {
            line.Help = true;
        } else if (!optionsEnd && arg == L"--version") {
            line.Version = true;
        } else if (!optionsEnd && ((arg.size() > 2 && arg.rfind(L"--", 0) == 0) || FindOption(arg) != nullptr)) {
            const OptionInfo* option = FindOption(arg);
            if (option == nullptr) {
                line.Error = L"unknown option " + arg;
                return line;
            }
            if (option->Value == nullptr) {
                // The switches: options that take no value.
                if (arg == L"--follow")
                    line.Follow = true;
                else
                    line.AllowUntrustedTarget = true;
                given.push_back(arg);
                continue;
            }
            if (i + 1 >= args.size()) {
                line.Error = arg + L" needs a value";
                return line;
            }
            if (!Store(line, arg, args[++i]))
                return line;
            given.push_back(arg);
        } else if (line.Verb.empty()) {
            line.Verb = arg;
        } else {
            line.Arguments.push_back(arg);
        }
    }
    if (line.Verb == L"help")
        line.Help = true;
    if (line.Verb == L"trace") {
        if (line.Arguments.empty()) {
            if (!line.Help)
                line.Error = L"trace needs one of show, set, off, on, check, tail";
            return line;
        }
        line.Verb += L" " + line.Arguments.front();
        line.Arguments.erase(line.Arguments.begin());
    }
    if (line.Verb.empty()) {
        if (!line.Help && !line.Version && !given.empty())
            line.Error = L"no verb";
        return line;
    }
    const VerbInfo* verb = FindVerb(line.Verb);
    if (verb == nullptr) {
        line.Error = L"unknown verb \"" + line.Verb + L"\"";
        return line;
    }
    for (const std::wstring& option : given)
        if ((FindOption(option)->Group & verb->Options) == 0) {
            line.Error = option + L" does not apply to " + line.Verb;
            return line;
        }
    return line;
}

}  // namespace diagctl
