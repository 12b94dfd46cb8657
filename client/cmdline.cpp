#include "cmdline.h"

#include <cerrno>
#include <cwchar>
#include <cwctype>

#include "diagproto.h"
#include "usage.h"

namespace diagctl {
namespace {

bool IsHelp(const std::wstring& arg) { return SameName(arg, L"--help") || SameName(arg, L"-h") || arg == L"/?"; }

// The words that make a verb only with the word after them.
bool IsVerbGroup(const std::wstring& word) { return SameName(word, L"trace") || SameName(word, L"locale"); }

// Stores a number option; false (with line.Error) when the value is no
// number of its range.
bool StoreNumber(CommandLine& line, const std::wstring& option, const std::wstring& value, DWORD min, DWORD max,
                 const wchar_t* unit, std::optional<DWORD>& target) {
    target = ParseNumber(value, min, max);
    if (!target)
        line.Error = L"bad " + option + L" \"" + value + L"\": " + unit + L" from " + std::to_wstring(min) + L" to " +
                     std::to_wstring(max) + L", in decimal or 0x-hexadecimal digits, without a sign";
    return target.has_value();
}

// Stores one option's value; false (with line.Error) when the value is bad.
bool Store(CommandLine& line, const OptionInfo& option, const std::wstring& value) {
    const std::wstring name = option.Name;
    // Every value names something or counts something: an empty one is a
    // mistake of the caller (an unset variable), never a choice.
    if (value.empty()) {
        line.Error = name + L" needs a value: \"\" is empty";
        return false;
    }
    if (name == L"--names")
        line.NamesPrefix = value;
    else if (name == L"--section")
        line.Section = value;
    else if (name == L"--do-work")
        line.DoWork = value;
    else if (name == L"--work-done")
        line.WorkDone = value;
    else if (name == L"--size")
        return StoreNumber(line, name, value, static_cast<DWORD>(diagproto::kHeaderSize), kMaxSectionSize, L"bytes",
                           line.SectionSize);
    else if (name == L"-n")
        return StoreNumber(line, name, value, 0, kMaxTailLines, L"a line count", line.TailLines);
    else if (name == L"--timeout")
        return StoreNumber(line, name, value, 1, kMaxTimeoutMs, L"milliseconds", line.TimeoutMs);
    else if (name == L"--levels")
        line.Levels = value;
    else if (name == L"--sinks")
        line.Sinks = value;
    else if (name == L"--fields")
        line.Fields = value;
    else if (name == L"--path")
        line.Path = value;
    else if (name == L"--append")
        line.Append = value;
    else if (name == L"--common")
        line.Common = value;
    else if (name == L"--max-size")
        line.MaxSize = value;
    return true;
}

void StoreSwitch(CommandLine& line, const OptionInfo& option) {
    const std::wstring name = option.Name;
    if (name == L"--follow")
        line.Follow = true;
    else if (name == L"--json")
        line.Json = true;
    else if (name == L"--force")
        line.Force = true;
    else
        line.AllowUntrustedTarget = true;
}

// "trace" and "locale" take the word after them into the verb.
void ComposeVerb(CommandLine& line) {
    if (!IsVerbGroup(line.Verb))
        return;
    if (line.Arguments.empty()) {
        if (!line.Help && line.Error.empty())
            line.Error = line.Verb + L" needs one of " + GroupWords(line.Verb);
        return;
    }
    line.Verb += L" " + line.Arguments.front();
    line.Arguments.erase(line.Arguments.begin());
}

}  // namespace

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::optional<DWORD> ParseNumber(const std::wstring& text, DWORD min, DWORD max) {
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const size_t digits = hex ? 2 : 0;
    if (text.size() == digits)
        return std::nullopt;
    // wcstoull would take blanks, a sign and a "0x" of its own; only digits
    // may reach it.
    for (size_t i = digits; i < text.size(); ++i)
        if (hex ? !std::iswxdigit(text[i]) : !std::iswdigit(text[i]))
            return std::nullopt;
    errno = 0;
    const unsigned long long value = std::wcstoull(text.c_str() + digits, nullptr, hex ? 16 : 10);
    if (errno != 0 || value < min || value > max)
        return std::nullopt;
    return static_cast<DWORD>(value);
}

CommandLine ParseCommandLine(const std::vector<std::wstring>& args) {
    CommandLine line;
    std::vector<const OptionInfo*> given;  // the options, to check them against the verb
    bool optionsEnd = false;
    // After the first error the rest is still read for the verb, so that the
    // error comes with that verb's usage; nothing more is stored.
    auto fail = [&line](std::wstring error) {
        if (line.Error.empty())
            line.Error = std::move(error);
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        const OptionInfo* option = optionsEnd ? nullptr : FindOption(arg);
        if (!optionsEnd && arg == L"--") {
            optionsEnd = true;
        } else if (!optionsEnd && IsHelp(arg)) {
            line.Help = true;
        } else if (!optionsEnd && SameName(arg, L"--version")) {
            line.Version = true;
        } else if (option != nullptr) {
            given.push_back(option);
            if (option->Value == nullptr) {
                StoreSwitch(line, *option);
            } else if (i + 1 >= args.size()) {
                fail(std::wstring(option->Name) + L" needs a value");
            } else if (line.Error.empty()) {
                Store(line, *option, args[++i]);
            } else {
                ++i;
            }
        } else if (!optionsEnd && arg.size() > 2 && arg.rfind(L"--", 0) == 0) {
            fail(L"unknown option " + arg);
        } else if (line.Verb.empty()) {
            line.Verb = arg;
        } else {
            line.Arguments.push_back(arg);
        }
    }
    if (SameName(line.Verb, L"help"))
        line.Help = true;
    ComposeVerb(line);
    if (IsVerbGroup(line.Verb))
        return line;  // "trace" alone: help for the group, or the error above
    if (line.Verb.empty()) {
        if (!line.Help && !line.Version && !given.empty())
            fail(L"no verb");
        return line;
    }
    const VerbInfo* verb = FindVerb(line.Verb);
    if (verb == nullptr) {
        fail(L"unknown verb \"" + line.Verb + L"\"");
        return line;
    }
    line.Verb = verb->Verb;
    if (!line.Error.empty())
        return line;
    for (const OptionInfo* option : given)
        if ((option->Group & verb->Options) == 0) {
            line.Error = std::wstring(option->Name) + L" does not apply to " + line.Verb;
            return line;
        }
    return line;
}

}  // namespace diagctl
