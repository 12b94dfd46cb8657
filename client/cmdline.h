#pragma once
// diagctl's command line: a verb, its arguments and options that may stand
// before or after the verb. No kernel objects here.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace diagctl {

struct CommandLine {
    std::wstring Verb;  // empty when none was given
    std::vector<std::wstring> Arguments;
    bool Help = false;  // --help, -h, /? or the verb help
    bool Version = false;  // --version
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
// after it make one verb ("trace show").
CommandLine ParseCommandLine(const std::vector<std::wstring>& args);

}  // namespace diagctl
