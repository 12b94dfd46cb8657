// The trace configuration: registry values, their precedence and the log
// file path.
#include "base/VqTraceConfig.h"

#include <algorithm>

namespace VqBase {

namespace {

// An open registry key, closed when the scope ends.
class RegKey {
public:
    RegKey(HKEY parent, const wchar_t* name) {
        if (::RegOpenKeyExW(parent, name, 0, KEY_QUERY_VALUE, &m_Key) != ERROR_SUCCESS) m_Key = nullptr;
    }
    ~RegKey() {
        if (m_Key) ::RegCloseKey(m_Key);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    bool IsOpen() const { return m_Key != nullptr; }
    HKEY Get() const { return m_Key; }

    // A 4-byte value of any type; anything else counts as absent, and why
    // says so when the value exists.
    std::optional<DWORD> Number(const wchar_t* name, std::wstring& why) const {
        DWORD value = 0;
        DWORD size = sizeof(value);
        DWORD type = REG_NONE;
        const LSTATUS status =
            ::RegQueryValueExW(m_Key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        why.clear();
        if (status == ERROR_SUCCESS && size == sizeof(value)) return value;
        if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)
            why = TypeName(type) + L" of " + std::to_wstring(size) + L" bytes, not a 4-byte number (REG_DWORD)";
        return std::nullopt;
    }

    // A string of at most 519 characters. One that does not fit the buffer
    // would be cut, so it counts as absent; tooLong says so.
    std::optional<std::wstring> String(const wchar_t* name, bool* tooLong = nullptr) const {
        wchar_t buffer[kTracePathChars] = {};
        DWORD size = sizeof(buffer);
        const LSTATUS status =
            ::RegQueryValueExW(m_Key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
        const size_t chars = size / sizeof(wchar_t);
        const bool cut = status == ERROR_MORE_DATA ||
                         (status == ERROR_SUCCESS && chars == kTracePathChars && buffer[kTracePathChars - 1] != L'\0');
        if (tooLong) *tooLong = cut;
        if (status != ERROR_SUCCESS || cut) return std::nullopt;
        return std::wstring(buffer, wcsnlen(buffer, chars));
    }

private:
    static std::wstring TypeName(DWORD type) {
        switch (type) {
            case REG_SZ: return L"REG_SZ";
            case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
            case REG_BINARY: return L"REG_BINARY";
            case REG_DWORD: return L"REG_DWORD";
            case REG_MULTI_SZ: return L"REG_MULTI_SZ";
            case REG_QWORD: return L"REG_QWORD";
            default: return L"type " + std::to_wstring(type);
        }
    }

    HKEY m_Key = nullptr;
};

// Reads the numbers of one key into the settings, noting each value that
// counts as absent.
class NumberReader {
public:
    NumberReader(const RegKey& key, TraceSource source, std::vector<TraceAbsentValue>& absent)
        : m_Key(key), m_Source(source), m_Absent(absent) {}

    // Replaces setting with the value when there is one; accept may refuse
    // a value, returning why.
    template <typename Accept>
    void Read(const wchar_t* name, TraceSetting& setting, Accept accept) const {
        std::wstring why;
        const std::optional<DWORD> value = m_Key.Number(name, why);
        if (value) why = accept(*value);
        if (!why.empty()) {
            m_Absent.push_back({m_Source, name, why});
            return;
        }
        if (!value) return;
        setting.Value = *value;
        setting.Source = m_Source;
        if (m_Source != TraceSource::Force) setting.Unforced = *value;
    }
    void Read(const wchar_t* name, TraceSetting& setting) const {
        Read(name, setting, [](DWORD) { return std::wstring(); });
    }

    void Note(const wchar_t* name, std::wstring why) const { m_Absent.push_back({m_Source, name, std::move(why)}); }

private:
    const RegKey& m_Key;
    TraceSource m_Source;
    std::vector<TraceAbsentValue>& m_Absent;
};

std::wstring AcceptBound(DWORD value) {
    if (value != 0 && value < kMinMaxFileSize)
        return std::to_wstring(value) + L" bytes is below " + std::to_wstring(kMinMaxFileSize) +
               L", the least that holds a line";
    return {};
}

std::wstring TooLong() { return std::to_wstring(kTracePathChars) + L" characters or more"; }

}  // namespace

TraceSettings ReadTraceSettings(const std::wstring& name, const TraceLocation& location) {
    TraceSettings settings;
    RegKey trace(location.root, location.key.c_str());
    settings.TraceKeyFound = trace.IsOpen();
    if (!trace.IsOpen()) return settings;

    const NumberReader base(trace, TraceSource::TraceKey, settings.Absent);
    base.Read(kEnableMask.Name, settings.Enable);
    base.Read(kParamsMask.Name, settings.Params);
    base.Read(kCommonFileFlag.Name, settings.Common);
    base.Read(kMaxFileSize.Name, settings.MaxFileSize, AcceptBound);
    std::wstring commonFileName;
    bool longName = false;

    {
        RegKey program(trace.Get(), name.c_str());
        settings.ProgramKeyFound = program.IsOpen();
        if (program.IsOpen()) {
            const NumberReader own(program, TraceSource::ProgramKey, settings.Absent);
            own.Read(kEnableMask.Name, settings.Enable);
            own.Read(kParamsMask.Name, settings.Params);
            own.Read(kCommonFileFlag.Name, settings.Common);
            own.Read(kContextMask.Name, settings.Context);
            own.Read(kMaxFileSize.Name, settings.MaxFileSize, AcceptBound);
            // Only a common flag of the program's own selects its common file.
            if (settings.Common.Value != 0) {
                if (auto given = program.String(kCommonFileName.Name, &longName)) commonFileName = std::move(*given);
                if (longName) own.Note(kCommonFileName.Name, TooLong());
            }
        }
    }

    const NumberReader force(trace, TraceSource::Force, settings.Absent);
    force.Read(kForceEnableMask.Name, settings.Enable);
    force.Read(kForceParamsMask.Name, settings.Params);
    force.Read(kForceCommonFileFlag.Name, settings.Common);
    TraceSetting disableContext;
    force.Read(kDisableContextFlag.Name, disableContext);
    if (disableContext.Value != 0) settings.Context = {0xFFFFFFFF, TraceSource::Force, settings.Context.Unforced};

    const DWORD common = settings.Common.Value;
    bool longPath = false;
    const std::optional<std::wstring> tracePath = trace.String(kTracePath.Name, &longPath);
    if (longPath) base.Note(kTracePath.Name, TooLong());
    settings.FilePath = ComposeFilePath(name, common, commonFileName, tracePath);
    settings.PathSource = common != 0 && !commonFileName.empty() ? TraceSource::ProgramKey
                          : tracePath                           ? TraceSource::TraceKey
                                                                : TraceSource::Default;
    // A path that was cut would put the log elsewhere than the administrator
    // asked: nothing is written, and the trace says why. TracePath counts
    // only where it names the directory; the file is then named by no path,
    // since the default directory would name one that nobody configured.
    const bool nameCut = longName && common != 0;
    const bool pathCut = longPath && settings.PathSource != TraceSource::ProgramKey;
    if (nameCut || pathCut) {
        settings.FilePathProblem = std::wstring(nameCut ? L"CommonFileName" : L"TracePath") + L" has " + TooLong();
        settings.FilePath.clear();
    }
    return settings;
}

CTraceConfig::CTraceConfig(std::wstring name, TraceLocation location)
    : m_Name(std::move(name)), m_Location(std::move(location)) {}

bool CTraceConfig::ReadConfig() {
    const TraceSettings settings = ReadTraceSettings(m_Name, m_Location);
    if (!settings.TraceKeyFound) return false;
    m_FilePath = settings.FilePath;
    m_FilePathProblem = settings.FilePathProblem;
    m_MaxFileSize.exchange(settings.MaxFileSize.Value);
    Publish(settings.Enable.Value, settings.Params.Value, settings.Common.Value, settings.Context.Value);
    return true;
}

void CTraceConfig::Publish(DWORD enable, DWORD params, DWORD common, DWORD context) {
    m_EnableMask.exchange(enable);
    m_ParamsMask.exchange(params);
    m_CommonFileFlag.exchange(common);
    m_ContextMask.exchange(context);
}

std::wstring GetTempDirectory() {
    for (const wchar_t* name : {L"Temp", L"Tmp", L"windir"}) {
        wchar_t buffer[kTracePathChars];
        const DWORD length = ::GetEnvironmentVariableW(name, buffer, static_cast<DWORD>(kTracePathChars));
        // A value that does not fit returns its size and leaves the buffer
        // without it: that counts as unset.
        if (length != 0 && length < kTracePathChars) return std::wstring(buffer, length);
    }
    return L"C:\\";
}

std::wstring AppendLogExtension(std::wstring base) {
    const size_t n = base.size();
    const size_t dot = base.rfind(L'.');
    if (n != 0 && dot == n - 1)
        base += L"log";
    else if (dot == std::wstring::npos || n - dot - 1 != 3)
        base += L".log";
    return base;
}

std::wstring ComposeFilePath(const std::wstring& name, DWORD commonFlag, const std::wstring& commonFileName,
                             const std::optional<std::wstring>& tracePath) {
    // Windows takes "/" for "\\" everywhere; the path is kept in one form, so
    // that its root is found and the final-path check compares like with like.
    auto normalised = [](std::wstring path) {
        std::replace(path.begin(), path.end(), L'/', L'\\');
        return path;
    };
    if (commonFlag != 0 && !commonFileName.empty()) return normalised(commonFileName);
    std::wstring path = normalised(tracePath ? *tracePath : GetTempDirectory());
    if (path.empty() || path.back() != L'\\') path += L'\\';
    path += AppendLogExtension(commonFlag != 0 ? L"VqTrace" : name);
    return path;
}

}  // namespace VqBase
