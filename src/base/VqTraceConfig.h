#pragma once
// The trace configuration: where it lives in the registry, the values read
// from it, and the log file path they compose.
#include <windows.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "base/VqRegistrySettings.h"
#include "base/VqTraceConstants.h"

namespace VqBase {

// Where the configuration lives; the product's location by default, a key of
// their own in tests.
struct TraceLocation {
    HKEY root = HKEY_LOCAL_MACHINE;
    std::wstring key = kTraceKey;
};

// Where a value of the configuration came from.
enum class TraceSource { Default, TraceKey, ProgramKey, Force };

// One number of the configuration: its value, where it came from, and the
// value before the Force values of the Trace key were applied.
struct TraceSetting {
    DWORD Value = 0;
    TraceSource Source = TraceSource::Default;
    DWORD Unforced = 0;
};

// A value in the registry that counts as absent, and why.
struct TraceAbsentValue {
    TraceSource Key = TraceSource::TraceKey;
    std::wstring Name;
    std::wstring Why;
};

// A MaxFileSize below this is refused as absent: a bound that one long line
// of the trace could exceed would rotate at every line.
inline constexpr DWORD kMinMaxFileSize = kMaxFileSize.Min;

// The effective configuration of one program as it reads it at its start,
// with where each value came from.
struct TraceSettings {
    // Without the Trace key nothing is written, whatever else is there.
    bool TraceKeyFound = false;
    bool ProgramKeyFound = false;
    TraceSetting Enable, Params, Common, MaxFileSize;
    TraceSetting Context{0xFFFFFFFF, TraceSource::Default, 0xFFFFFFFF};
    std::wstring FilePath;
    // Where the directory or the whole path came from: TracePath of the
    // Trace key, CommonFileName of the program key, or the default.
    TraceSource PathSource = TraceSource::Default;
    std::wstring FilePathProblem;
    std::vector<TraceAbsentValue> Absent;
};

// Reads the Trace key and the program key of name at location as the trace
// does at its start.
TraceSettings ReadTraceSettings(const std::wstring& name, const TraceLocation& location);

class CTraceConfig {
public:
    explicit CTraceConfig(std::wstring name, TraceLocation location = {});

    // Reads the Trace key and the program key; false (nothing changed) when
    // the Trace key cannot be opened.
    bool ReadConfig();

    // Stores the four masks, each by an atomic exchange.
    void Publish(DWORD enable, DWORD params, DWORD common, DWORD context);

    std::wstring m_Name;
    std::wstring m_FilePath;
    // Why no log file is written although one is configured (a TracePath or
    // CommonFileName too long to read whole); empty otherwise.
    std::wstring m_FilePathProblem;
    std::atomic<DWORD> m_EnableMask{0};
    std::atomic<DWORD> m_ParamsMask{0};
    std::atomic<DWORD> m_ContextMask{0};
    std::atomic<DWORD> m_CommonFileFlag{0};
    // MaxFileSize: 0 for no bound.
    std::atomic<DWORD> m_MaxFileSize{0};
    TraceLocation m_Location;
};

// The default log directory: "Temp", "Tmp", "windir", else "C:\".
std::wstring GetTempDirectory();

// The log file name with its extension rules: "x" and "x." give "x.log", a
// three-character extension stays, anything else gets ".log" appended.
std::wstring AppendLogExtension(std::wstring base);

// The log file path: the common file name when one is given for a common
// file, else the directory, a backslash when it has none, and the base name
// (the trace name, or "VqTrace" for a common file) with its extension.
std::wstring ComposeFilePath(const std::wstring& name, DWORD commonFlag, const std::wstring& commonFileName,
                             const std::optional<std::wstring>& tracePath);

}  // namespace VqBase
