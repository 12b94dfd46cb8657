#include "trace.h"

#include <windows.h>

#include <cstring>

#include "base/VqLogDirectory.h"
#include "base/VqLogNames.h"
#include "base/VqLogRotation.h"
#include "base/VqTrace.h"
#include "console.h"
#include "diagproto.h"
#include "errortext.h"
#include "service_env.h"
#include "trace_check.h"
#include "trace_switch.h"
#include "trace_tail.h"
#include "trace_words.h"
#include "usage.h"

namespace diagctl {
namespace {

const std::wstring kProgramKey = std::wstring(VqBase::kTraceKey) + L"\\" + VqBase::kTraceName;

std::wstring Hex(DWORD value) { return HexCode(value); }

std::wstring From(VqBase::TraceSource source, const wchar_t* value) {
    switch (source) {
        case VqBase::TraceSource::TraceKey: return std::wstring(L"from ") + value + L" of the Trace key";
        case VqBase::TraceSource::ProgramKey: return std::wstring(L"from ") + value + L" of the program key";
        case VqBase::TraceSource::Force: return std::wstring(L"from Force") + value + L" of the Trace key";
        default: return L"the default";
    }
}

std::wstring KeyName(VqBase::TraceSource key) {
    return key == VqBase::TraceSource::ProgramKey ? L"HKLM\\" + kProgramKey
                                                  : L"HKLM\\" + std::wstring(VqBase::kTraceKey);
}

// What keeps the trace from writing, or empty.
std::wstring Silence(const VqBase::TraceSettings& settings) {
    if (settings.Enable.Value == 0)
        return L"no level is on";
    if ((settings.Params.Value & 0xFF) == 0)
        return L"no sink is on (ParamsMask has no bit of 0x00FF)";
    return {};
}

// Where the lines go when the service cannot write the file: beside it,
// under a name of its own that nobody can guess.
std::wstring FallbackItem(const std::wstring& path) {
    const size_t cut = path.find_last_of(L'\\') + 1;
    return path.substr(0, cut) + VqBase::FallbackFileName(path.substr(cut), L"<16 random hex digits>") +
           L", when the service cannot write the file (held locked, another's, its rotation blocked), until its "
           L"next start";
}

std::wstring Item(const wchar_t* name, const std::wstring& value) {
    std::wstring line = L"  " + std::wstring(name) + L":";
    line.append(line.size() < 14 ? 14 - line.size() : 1, L' ');
    return line + value + L"\n";
}

// Why the default directory may not be the service's: set when the
// service's environment could not be had.
std::wstring g_TempDirectoryProblem;

std::wstring DefaultDirectory() {
    return g_TempDirectoryProblem.empty()
               ? ServiceTempDirectoryOrigin()
               : L"diagctl's own temporary directory, since the service's environment could not be built: " +
                     g_TempDirectoryProblem;
}

// What trace off kept for trace on, as trace show tells it.
std::wstring KeptLevelsLine() {
    const std::optional<KeptLevels> kept = ReadKeptLevels();
    if (!kept)
        return {};
    std::wstring value = L"no EnableMask in the program key";
    if (!kept->Absent && kept->Type == REG_DWORD && kept->Bytes.size() == sizeof(DWORD)) {
        DWORD levels = 0;
        std::memcpy(&levels, kept->Bytes.data(), sizeof(levels));
        value = L"EnableMask " + Hex(levels) + L" (" + TraceWordList(TraceWords::Levels, levels) + L")";
    } else if (!kept->Absent) {
        value = L"an EnableMask that counts as absent";
    }
    return Item(L"kept", value + L", by trace off in " + kKeptLevelsValue + L"; trace on brings it back");
}

}  // namespace

std::wstring NotTracedSentence() {
    return std::wstring(VqBase::kTraceName) + L" is not traced: the Trace key HKLM\\" + VqBase::kTraceKey +
           L" does not exist: the service writes no trace, whatever else is set\n";
}

std::wstring DescribeTraceSettings(const VqBase::TraceSettings& settings) {
    using VqBase::TraceSource;
    std::wstring text = L"trace configuration of " + std::wstring(VqBase::kTraceName) +
                        L", as the service reads it at its next start:\n";
    if (!settings.TraceKeyFound)
        return text + L"  " + NotTracedSentence();
    const DWORD params = settings.Params.Value;
    const bool common = settings.Common.Value != 0;
    text += Item(L"levels", TraceWordList(TraceWords::Levels, settings.Enable.Value) + L" (EnableMask " +
                                Hex(settings.Enable.Value) + L", " + From(settings.Enable.Source, L"EnableMask") + L")");
    text += Item(L"sinks", TraceWordList(TraceWords::Sinks, params) + L" (ParamsMask " + Hex(params) + L", " +
                               From(settings.Params.Source, L"ParamsMask") + L")");
    text += Item(L"fields", TraceWordList(TraceWords::Fields, params) + (common ? L" (name always, in a common file)" : L""));
    text += Item(L"append", (params & VqBase::TP_APPEND) ? L"on" : L"off");
    text += Item(L"file", settings.FilePath + L" (" + (common ? L"common" : L"private") + L", " +
                              From(settings.Common.Source, L"CommonFileFlag") + L"; " +
                              (settings.PathSource == TraceSource::ProgramKey ? L"CommonFileName of the program key"
                               : settings.PathSource == TraceSource::TraceKey ? L"directory from TracePath of the Trace key"
                                                                              : DefaultDirectory()) +
                              L")");
    if (!settings.FilePathProblem.empty())
        text += Item(L"", L"not written: " + settings.FilePathProblem);
    else
        text += Item(L"fallback", FallbackItem(settings.FilePath));
    text += Item(L"max size", settings.MaxFileSize.Value == 0
                                  ? L"no bound (" + From(settings.MaxFileSize.Source, L"MaxFileSize") + L")"
                                  : std::to_wstring(settings.MaxFileSize.Value) + L" bytes, then " +
                                        VqBase::RotatedName(settings.FilePath) + L" (" +
                                        From(settings.MaxFileSize.Source, L"MaxFileSize") + L")");
    text += Item(L"context", Hex(settings.Context.Value) + L" (" +
                                 (settings.Context.Source == TraceSource::Force
                                      ? std::wstring(L"DisableContextFlag of the Trace key")
                                      : From(settings.Context.Source, L"ContextMask")) +
                                 L")");
    if (!settings.Absent.empty()) {
        text += L"values that count as absent:\n";
        for (const VqBase::TraceAbsentValue& absent : settings.Absent)
            text += L"  " + KeyName(absent.Key) + L"\\" + absent.Name + L": " + absent.Why + L"\n";
    }
    text += KeptLevelsLine();
    const std::wstring silence = Silence(settings);
    text += silence.empty() ? L"the trace is on\n" : L"the trace writes nothing: " + silence + L"\n";
    return text;
}

namespace {

const wchar_t* SourceName(VqBase::TraceSource source) {
    switch (source) {
        case VqBase::TraceSource::TraceKey: return L"traceKey";
        case VqBase::TraceSource::ProgramKey: return L"programKey";
        case VqBase::TraceSource::Force: return L"force";
        default: return L"default";
    }
}

JsonObject SettingJson(const VqBase::TraceSetting& setting) {
    return JsonObject()
        .Number(L"value", setting.Value)
        .String(L"source", SourceName(setting.Source))
        .Number(L"unforced", setting.Unforced);
}

// The words of a group's bits as a JSON array ("none" is none).
std::wstring WordsJson(TraceWords group, DWORD mask) {
    std::vector<std::wstring> words;
    if (const std::wstring list = TraceWordList(group, mask); list != L"none")
        for (size_t at = 0, comma = 0; comma != std::wstring::npos; at = comma + 1) {
            comma = list.find(L',', at);
            words.push_back(list.substr(at, comma == std::wstring::npos ? std::wstring::npos : comma - at));
        }
    return JsonStrings(words);
}

}  // namespace

JsonObject TraceSettingsJson(const VqBase::TraceSettings& settings) {
    const DWORD params = settings.Params.Value;
    std::vector<std::wstring> absent;
    for (const VqBase::TraceAbsentValue& value : settings.Absent)
        absent.push_back(JsonObject()
                             .String(L"key", SourceName(value.Key))
                             .String(L"name", value.Name)
                             .String(L"why", value.Why)
                             .Text());
    const std::wstring silence = Silence(settings);
    return JsonObject()
        .String(L"kind", L"traceShow")
        .String(L"program", VqBase::kTraceName)
        .String(L"traceKey", L"HKLM\\" + std::wstring(VqBase::kTraceKey))
        .Bool(L"traceKeyFound", settings.TraceKeyFound)
        .Bool(L"programKeyFound", settings.ProgramKeyFound)
        .Object(L"levels", SettingJson(settings.Enable).Raw(L"words", WordsJson(TraceWords::Levels, settings.Enable.Value)))
        .Object(L"params", SettingJson(settings.Params)
                               .Raw(L"sinks", WordsJson(TraceWords::Sinks, params))
                               .Raw(L"fields", WordsJson(TraceWords::Fields, params))
                               .Bool(L"append", (params & VqBase::TP_APPEND) != 0))
        .Object(L"common", SettingJson(settings.Common))
        .Object(L"maxFileSize", SettingJson(settings.MaxFileSize))
        .Object(L"context", SettingJson(settings.Context))
        .Object(L"file", JsonObject()
                             .String(L"path", settings.FilePath)
                             .String(L"pathSource", SourceName(settings.PathSource))
                             .StringOrNull(L"problem", settings.FilePathProblem)
                             .StringOrNull(L"rotatedTo", settings.MaxFileSize.Value != 0
                                                             ? VqBase::RotatedName(settings.FilePath)
                                                             : std::wstring()))
        .Raw(L"absent", JsonArray(absent))
        .Bool(L"traced", settings.TraceKeyFound && silence.empty())
        .StringOrNull(L"silentBecause", settings.TraceKeyFound ? silence : L"the Trace key does not exist");
}

namespace {

// The values trace set or off writes, each checked before anything is.
struct TraceChanges {
    std::optional<DWORD> Enable, Params, Common, MaxFileSize;
    std::optional<std::wstring> TracePath;
};

// Applies one list option to mask; false, with error, when it is wrong.
bool ApplyWords(const std::optional<std::wstring>& given, TraceWords group, const wchar_t* option, DWORD& mask,
                std::wstring& error) {
    if (!given)
        return true;
    std::wstring why;
    const std::optional<DWORD> bits = ParseTraceWords(group, *given, why);
    if (!bits) {
        error = std::wstring(L"bad ") + option + L": " + why;
        return false;
    }
    mask = (mask & ~TraceWordBits(group)) | *bits;
    return true;
}

bool ApplyOnOff(const std::optional<std::wstring>& given, const wchar_t* option, std::optional<bool>& value,
                std::wstring& error) {
    if (!given)
        return true;
    value = ParseOnOff(*given);
    if (!value)
        error = std::wstring(L"bad ") + option + L" \"" + *given + L"\" (on or off)";
    return value.has_value();
}

// Every option of trace set checked against the settings in force; false,
// with error, at the first wrong one.
bool PlanChanges(const CommandLine& line, const VqBase::TraceSettings& settings, TraceChanges& changes,
                 std::wstring& error) {
    DWORD enable = settings.Enable.Unforced;
    if (!ApplyWords(line.Levels, TraceWords::Levels, L"--levels", enable, error))
        return false;
    if (line.Levels)
        changes.Enable = enable;

    DWORD params = settings.Params.Unforced;
    std::optional<bool> append, common;
    if (!ApplyWords(line.Sinks, TraceWords::Sinks, L"--sinks", params, error) ||
        !ApplyWords(line.Fields, TraceWords::Fields, L"--fields", params, error) ||
        !ApplyOnOff(line.Append, L"--append", append, error) || !ApplyOnOff(line.Common, L"--common", common, error))
        return false;
    if (append)
        params = *append ? params | VqBase::TP_APPEND : params & ~DWORD{VqBase::TP_APPEND};
    // A log without times cannot be read by: the first ParamsMask written
    // gets the fields an administrator reads by, unless fields are given.
    if (!line.Fields && settings.Params.Source == VqBase::TraceSource::Default)
        params |= kDefaultFields;
    if (line.Sinks || line.Fields || append)
        changes.Params = params;
    if (common)
        changes.Common = *common ? 1 : 0;

    if (line.Path) {
        // The directory as the service will compose and take it apart.
        const std::wstring file = VqBase::ComposeFilePath(VqBase::kTraceName, 0, L"", *line.Path);
        if (line.Path->empty() || !VqBase::SplitLogPath(file.c_str())) {
            error = L"bad --path \"" + *line.Path +
                    L"\": a full directory path is needed (C:\\... or \\\\server\\share\\...), of fewer than " +
                    std::to_wstring(VqBase::kTracePathChars - VqBase::AppendLogExtension(VqBase::kTraceName).size() - 1) +
                    L" characters, without characters a file name may not hold";
            return false;
        }
        changes.TracePath = *line.Path;
    }

    if (line.MaxSize) {
        const std::optional<DWORD> bound = ParseNumber(*line.MaxSize, 0, 0xFFFFFFFF);
        if (!bound || (*bound != 0 && *bound < VqBase::kMinMaxFileSize)) {
            error = L"bad --max-size \"" + *line.MaxSize + L"\" (bytes: 0 for no bound, else " +
                    std::to_wstring(VqBase::kMinMaxFileSize) +
                    L" to 4294967295, in decimal or 0x-hexadecimal digits, without a sign)";
            return false;
        }
        changes.MaxFileSize = *bound;
    } else if (settings.MaxFileSize.Source == VqBase::TraceSource::Default) {
        changes.MaxFileSize = kDefaultMaxFileSize;
    }
    return true;
}

// An open key for writing, closed when the scope ends.
class WriteKey {
public:
    explicit WriteKey(const std::wstring& path) {
        m_Status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                   nullptr, &m_Key, nullptr);
        if (m_Status != ERROR_SUCCESS)
            m_Key = nullptr;
    }
    ~WriteKey() {
        if (m_Key)
            RegCloseKey(m_Key);
    }
    WriteKey(const WriteKey&) = delete;
    WriteKey& operator=(const WriteKey&) = delete;

    LSTATUS Status() const { return m_Status; }
    LSTATUS Number(const wchar_t* name, DWORD value) const {
        return RegSetValueExW(m_Key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    }
    LSTATUS String(const wchar_t* name, const std::wstring& value) const {
        return RegSetValueExW(m_Key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

private:
    HKEY m_Key = nullptr;
    LSTATUS m_Status = ERROR_SUCCESS;
};

// Writes the changes; the text says what was written. Non-zero: the
// failed call's exit code, already reported.
int WriteChanges(const TraceChanges& changes, std::wstring& text) {
    if (changes.TracePath) {
        const WriteKey trace(VqBase::kTraceKey);
        if (trace.Status() != ERROR_SUCCESS)
            return ReportFailure(L"RegCreateKeyEx of HKLM\\" + std::wstring(VqBase::kTraceKey),
                                 static_cast<DWORD>(trace.Status()));
        if (const LSTATUS status = trace.String(VqBase::kTracePath.Name, *changes.TracePath); status != ERROR_SUCCESS)
            return ReportFailure(L"RegSetValueEx of TracePath", static_cast<DWORD>(status));
        text += L"  HKLM\\" + std::wstring(VqBase::kTraceKey) + L"\\TracePath = " + *changes.TracePath + L"\n";
    }
    const struct {
        const wchar_t* Name;
        const std::optional<DWORD>& Value;
        std::wstring Words;
    } numbers[] = {
        {VqBase::kEnableMask.Name, changes.Enable,
         changes.Enable ? L" (" + TraceWordList(TraceWords::Levels, *changes.Enable) + L")" : L""},
        {VqBase::kParamsMask.Name, changes.Params,
         changes.Params ? L" (sinks " + TraceWordList(TraceWords::Sinks, *changes.Params) + L"; fields " +
                              TraceWordList(TraceWords::Fields, *changes.Params) + L"; append " +
                              ((*changes.Params & VqBase::TP_APPEND) ? L"on" : L"off") + L")"
                        : L""},
        {VqBase::kCommonFileFlag.Name, changes.Common,
         changes.Common ? (*changes.Common ? L" (common)" : L" (private)") : L""},
        {VqBase::kMaxFileSize.Name, changes.MaxFileSize,
         changes.MaxFileSize ? (*changes.MaxFileSize ? L" bytes" : L" (no bound)") : L""},
    };
    const WriteKey program(kProgramKey);
    if (program.Status() != ERROR_SUCCESS)
        return ReportFailure(L"RegCreateKeyEx of HKLM\\" + kProgramKey, static_cast<DWORD>(program.Status()));
    for (const auto& number : numbers) {
        if (!number.Value)
            continue;
        if (const LSTATUS status = program.Number(number.Name, *number.Value); status != ERROR_SUCCESS)
            return ReportFailure(std::wstring(L"RegSetValueEx of ") + number.Name, static_cast<DWORD>(status));
        const std::wstring value = number.Name == VqBase::kMaxFileSize.Name ? std::to_wstring(*number.Value)
                                                                              : Hex(*number.Value);
        text += L"  HKLM\\" + kProgramKey + L"\\" + number.Name + L" = " + value + number.Words + L"\n";
    }
    return diagproto::kExitSuccess;
}

// The Force values that keep a written value from counting.
std::wstring ForceNotes(const TraceChanges& changes, const VqBase::TraceSettings& settings) {
    std::wstring notes;
    auto note = [&](bool written, const VqBase::TraceSetting& setting, const wchar_t* name) {
        if (written && setting.Source == VqBase::TraceSource::Force)
            notes += std::wstring(L"note: Force") + name + L" " + Hex(setting.Value) +
                     L" in the Trace key wins over " + name + L": delete it for the value written to count\n";
    };
    note(changes.Enable.has_value(), settings.Enable, L"EnableMask");
    note(changes.Params.has_value(), settings.Params, L"ParamsMask");
    note(changes.Common.has_value(), settings.Common, L"CommonFileFlag");
    return notes;
}

int Write(const TraceChanges& changes, const VqBase::TraceSettings& before) {
    std::wstring text = L"wrote:\n";
    if (const int failed = WriteChanges(changes, text); failed != diagproto::kExitSuccess)
        return failed;
    const VqBase::TraceSettings after = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    text += ForceNotes(changes, before);
    const std::wstring silence = Silence(after);
    if (!silence.empty())
        text += L"the trace will write nothing: " + silence + L"\n";
    text += L"the service reads the trace configuration at its next start: restart it for the change to count\n";
    Out(text);
    return diagproto::kExitSuccess;
}

int Set(const CommandLine& line) {
    const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    if (!line.Levels && !line.Sinks && !line.Fields && !line.Path && !line.Append && !line.Common && !line.MaxSize)
        return UsageError(line.Verb, L"trace set needs at least one option");
    TraceChanges changes;
    std::wstring error;
    if (!PlanChanges(line, settings, changes, error))
        return UsageError(line.Verb, error);
    const int written = Write(changes, settings);
    // Levels chosen anew leave nothing for trace on to bring back.
    if (written == diagproto::kExitSuccess && changes.Enable)
        ForgetKeptLevels();
    return written;
}

// EnableMask 0 in the program key, after what was there is kept for trace
// on: the other values stay, and the service, finding no level, writes no
// log at all.
int Off() {
    const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    std::wstring failed;
    if (const LSTATUS status = KeepLevels(failed); status != ERROR_SUCCESS)
        return ReportFailure(failed, static_cast<DWORD>(status));
    TraceChanges changes;
    changes.Enable = 0;
    const int written = Write(changes, settings);
    if (written == diagproto::kExitSuccess)
        Out(L"trace on brings back the levels kept in HKLM\\" + kProgramKey + L"\\" + kKeptLevelsValue + L"\n");
    return written;
}

// Brings back what trace off kept.
int On(const CommandLine& line) {
    const std::optional<KeptLevels> kept = ReadKeptLevels();
    if (!kept) {
        const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
        if (settings.TraceKeyFound && settings.Enable.Value != 0) {
            Out(L"the trace is on already: levels " + TraceWordList(TraceWords::Levels, settings.Enable.Value) + L"\n");
            return diagproto::kExitSuccess;
        }
        return UsageError(line.Verb, L"no levels were kept by trace off to bring back: choose them with trace set "
                                     L"--levels");
    }
    std::wstring failed;
    if (const LSTATUS status = BringBackLevels(*kept, failed); status != ERROR_SUCCESS)
        return ReportFailure(failed, static_cast<DWORD>(status));
    std::wstring text = L"brought back what trace off kept:\n  HKLM\\" + kProgramKey + L"\\EnableMask ";
    text += kept->Absent ? L"removed (as before trace off; the Trace key's value counts)\n" : L"as it was before trace off\n";
    const VqBase::TraceSettings after = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    const std::wstring silence = Silence(after);
    text += silence.empty() ? L"levels: " + TraceWordList(TraceWords::Levels, after.Enable.Value) + L"\n"
                            : L"the trace will write nothing: " + silence + L"\n";
    text += L"the service reads the trace configuration at its next start: restart it for the change to count\n";
    Out(text);
    return diagproto::kExitSuccess;
}

}  // namespace

bool IsTraceVerb(const std::wstring& verb) { return verb.rfind(L"trace ", 0) == 0; }

int RunTraceVerb(const CommandLine& line) {
    if (!line.Arguments.empty())
        return UsageError(line.Verb, line.Verb + L" takes no arguments: \"" + line.Arguments.front() + L"\"");
    // The default log directory is the service's, not the operator's.
    g_TempDirectoryProblem = AdoptServiceTempDirectory();
    if (line.Verb == L"trace show") {
        const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
        if (line.Json)
            OutJson(TraceSettingsJson(settings).Text());
        else
            Out(DescribeTraceSettings(settings));
        return diagproto::kExitSuccess;
    }
    if (line.Verb == L"trace set")
        return Set(line);
    if (line.Verb == L"trace off")
        return Off();
    if (line.Verb == L"trace on")
        return On(line);
    if (line.Verb == L"trace check")
        return RunTraceCheck(line.Json);
    return RunTraceTail(line.TailLines.value_or(20), line.Follow);
}

}  // namespace diagctl
