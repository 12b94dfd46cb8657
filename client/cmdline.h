#pragma once
// diagctl's command line: a verb, its arguments and options that may stand
// before or after the verb. No kernel objects here.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace diagctl {

// The ranges of the numbers the options take, as the usage gives them.
inline constexpr DWORD kMaxSectionSize = 1u << 30;
inline constexpr DWORD kMaxTimeoutMs = 24u * 60 * 60 * 1000;
inline constexpr DWORD kMaxTailLines = 0xFFFFFFFF;

struct CommandLine {
    std::wstring Verb;  // empty when none was given
    std::vector<std::wstring> Arguments;
    bool Help = false;  // --help, -h, /? or the verb help
    bool Version = false;  // --version
    bool Json = false;     // --json: one JSON object instead of the text
    bool AllowUntrustedTarget = false;  // --allow-untrusted-target
    bool Force = false;  // --force
    std::optional<std::wstring> NamesPrefix, Section, DoWork, WorkDone;
    std::optional<DWORD> SectionSize, TimeoutMs;
    // trace set: the values as given, checked by the verb before it writes.
    std::optional<std::wstring> Levels, Sinks, Fields, Path, Append, Common, MaxSize;
    // trace tail.
    std::optional<DWORD> TailLines;
    bool Follow = false;
    // Non-empty when the command line is wrong: what was wrong.
    std::wstring Error;
};

// args without the program name. An option's value is the argument after
// it (a switch such as --follow takes none); "--" makes the rest arguments.
// An option that the verb does not take is an error. "trace" and the word
// after it make one verb ("trace show"), as do "locale" and its word. Verbs
// and option names are taken in any letter case, as Windows tools take
// them; Verb holds the verb as the usage spells it.
CommandLine ParseCommandLine(const std::vector<std::wstring>& args);

// Whether two names are the same but for letter case (ordinal, as Windows
// compares names).
bool SameName(const std::wstring& a, const std::wstring& b);

// A number as an option or argument gives it: decimal or 0x-hexadecimal
// digits only (no sign, no blank), from min to max. Nullopt otherwise.
std::optional<DWORD> ParseNumber(const std::wstring& text, DWORD min, DWORD max);

}  // namespace diagctl
