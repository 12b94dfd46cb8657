#pragma once
// What diagctl tells about itself: every verb and option in one line each,
// one verb's usage, and the exit-code table.
#include <string>

namespace diagctl {

// The options a verb accepts, as bits.
enum OptionGroup : unsigned {
    kNoOptions = 0,
    kChannelOptions = 1,  // --names, --section, --do-work, --work-done
    kSizeOption = 2,      // --size
    kTimeoutOption = 4,   // --timeout
    kRequestOptions = kSizeOption | kTimeoutOption,
    kTraceSetOptions = 8,  // --levels, --sinks, --fields, --path, --append, --common, --max-size
    kTailOptions = 16,     // -n, --follow
    kTargetOption = 32,    // --allow-untrusted-target
    kJsonOption = 64,      // --json
    kForceOption = 128,    // --force
};

struct VerbInfo {
    const wchar_t* Verb;
    const wchar_t* Arguments;
    const wchar_t* Summary;
    unsigned Options;
    // A step of the installer package: accepted, never shown in the usage.
    bool Hidden = false;
};

struct OptionInfo {
    const wchar_t* Name;
    const wchar_t* Value;  // null: the option takes none
    const wchar_t* Summary;
    unsigned Group;
};

// Null when verb is none of diagctl's.
const VerbInfo* FindVerb(const std::wstring& verb);
// Null when name is none of the options that take a group bit.
const OptionInfo* FindOption(const std::wstring& name);

// Every verb, every option and the exit codes.
std::wstring FullUsage();
// The verb's line and the lines of the options it accepts.
std::wstring VerbUsage(const VerbInfo& verb);
// The usage of every "trace ..." verb.
std::wstring TraceUsage();
// The usage of every verb of a group ("trace", "locale"), and its words.
std::wstring GroupUsage(const std::wstring& group);
std::wstring GroupWords(const std::wstring& group);
// Every verb in one line each, for a command line whose verb is unknown.
std::wstring VerbList();
std::wstring ExitCodeTable();

// Writes "diagctl: " and message, then the verb's usage (a group's, or
// every verb in a line, when the verb is not known) to the standard error;
// returns the usage code.
int UsageError(const std::wstring& verb, const std::wstring& message);

}  // namespace diagctl
