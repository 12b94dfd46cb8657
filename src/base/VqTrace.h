#pragma once
// The process-wide trace: interface, facade, implementation and configuration.
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <locale.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/VqLogDirectory.h"

namespace VqBase {

class CTraceFile;
struct CLogTarget;

// Trace levels: one bit each.
enum : DWORD {
    TL_INFO = 2,
    TL_WARNING = 4,
    TL_ERROR = 8,
    TL_BREAK = 16,
};

// Bits of the parameters mask: sinks and record fields.
enum : DWORD {
    TP_FILE = 0x0001,
    TP_DEBUGGER = 0x0008,
    TP_CONSOLE = 0x0010,
    TP_APPEND = 0x0100,
    TP_MSEC = 0x0400,
    TP_THREAD = 0x0800,
    TP_TIME = 0x1000,
    TP_DATE = 0x2000,
    TP_SESSION = 0x4000,
    TP_NAME = 0x8000,
};

inline constexpr wchar_t kTraceName[] = L"ReRiruRuvazor";
inline constexpr wchar_t kTraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vqcc0\\Trace";

// Registry strings, environment values and log paths are read into buffers of
// this many wide characters (terminator included).
inline constexpr size_t kTracePathChars = 520;

struct ITrace {
    virtual void TraceA(DWORD level, const char* format, ...) = 0;
    virtual void TraceW(DWORD level, const wchar_t* format, ...) = 0;
    virtual void TraceVA(DWORD level, const char* format, va_list args) = 0;
    virtual void TraceVW(DWORD level, const wchar_t* format, va_list args) = 0;
    virtual void TraceDump(DWORD level, const wchar_t* title, const void* data, DWORD size, DWORD flags) = 0;

protected:
    ~ITrace() = default;
};

// Where the configuration lives; the product's location by default, a key of
// their own in tests.
struct TraceLocation {
    HKEY root = HKEY_LOCAL_MACHINE;
    std::wstring key = kTraceKey;
};

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
    std::atomic<DWORD> m_EnableMask{0};
    std::atomic<DWORD> m_ParamsMask{0};
    std::atomic<DWORD> m_ContextMask{0};
    std::atomic<DWORD> m_CommonFileFlag{0};
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

// The console the records are written to, and whether the trace allocated it.
struct CTraceConsole {
    HANDLE m_hOutput = nullptr;
    bool m_Allocated = false;
    // False when the standard output is a file or a pipe, which WriteConsoleA
    // refuses; such records go out by WriteFile instead.
    bool m_IsConsole = true;

    bool IsValid() const { return m_hOutput != nullptr && m_hOutput != INVALID_HANDLE_VALUE; }
    // Allocates a console when there is none and titles it.
    void Open(const wchar_t* title);
    // Frees the console if the trace allocated it and forgets the handle.
    void Release();
    void Write(const char* record, size_t size) const;
};

// Receives every finished record (prefix, text, CR LF; without the zero
// byte) in addition to the configured sinks. Tests install one to see what
// the trace writes without a registry configuration.
class ITraceRecordSink {
public:
    virtual void OnRecord(DWORD level, const char* record, size_t size) = 0;

protected:
    ~ITraceRecordSink() = default;
};

class CTraceImpl {
public:
    explicit CTraceImpl(const wchar_t* name, TraceLocation location = {});
    virtual ~CTraceImpl();
    CTraceImpl(const CTraceImpl&) = delete;
    CTraceImpl& operator=(const CTraceImpl&) = delete;

    virtual bool Reload();
    virtual bool IsEnabled();
    virtual bool IsLevelEnabled(DWORD level);
    virtual bool IsContext(DWORD value);
    virtual bool IsTimeEnabled();
    virtual bool IsMsecEnabled();

    void TraceVA(DWORD level, const char* format, va_list args);
    void TraceVW(DWORD level, const wchar_t* format, va_list args);
    void TraceDump(DWORD level, const wchar_t* title, const void* data, DWORD size, DWORD flags);

    // Prepares the log file, walking its directories again: empties a
    // private file unless TP_APPEND is set, in which case it marks the new
    // start with the separator line.
    void StartFile();

    // Test seam: the sink that sees each record; null removes it.
    void SetRecordSink(ITraceRecordSink* sink) { m_RecordSink.store(sink); }

    CTraceConfig m_Config;
    CTraceConsole m_Console;
    _locale_t m_Locale = nullptr;

private:
    void OutputWide(DWORD level, const wchar_t* text, size_t length);
    void OutputNarrow(DWORD level, const char* text, size_t length);
    void Output(DWORD level, DWORD params, const char* record, size_t size);

    // The named mutex that orders the writes of all processes to a common
    // file, made once per path; trusted is false for a squatter's.
    HANDLE FileMutex(const std::wstring& path, bool& trusted);
    // Where the file of m_Config.m_FilePath goes, walked once per path, and
    // again when the walk that gave stale no longer holds.
    std::shared_ptr<const CLogTarget> Target(const std::shared_ptr<const CLogTarget>& stale);
    // Opens and checks the log file (empty: cut it, at start only); a file
    // that cannot be opened or fails the checks is reported once through the
    // debugger.
    bool OpenFile(CTraceFile& file, bool common, bool append, bool empty, bool walkAgain);

    // "[name] ", made once from m_Name.
    std::string m_NameField;
    // Reload rewrites the file path and the console while other threads may
    // write records: they hold it shared, Reload exclusively.
    SRWLOCK m_Lock = SRWLOCK_INIT;
    std::atomic<ITraceRecordSink*> m_RecordSink{nullptr};
    // The process's own user, and the descriptor a new common file gets.
    std::vector<BYTE> m_Self;
    std::unique_ptr<void, HeapFreer> m_CommonSecurity;
    // Guards what follows up to m_FileMutexNote.
    SRWLOCK m_MutexLock = SRWLOCK_INIT;
    std::shared_ptr<const CLogTarget> m_Target;
    std::wstring m_MutexPath;
    UniqueHandle m_FileMutex;
    bool m_MutexTrusted = true;
    std::wstring m_FileMutexNote;
    std::atomic<bool> m_MutexSquatted{false};
    std::atomic<bool> m_MutexNotePending{false};
    // The index of the private log file last found to be the trace's own.
    std::atomic<LONGLONG> m_KnownIndex{0};
    std::atomic<bool> m_RefusalReported{false};
    std::atomic<bool> m_OpenFailureReported{false};
};

// Builds the implementation of a CVqTrace; tests pass one that fails.
using TraceImplFactory = std::unique_ptr<CTraceImpl> (*)(const wchar_t* name, TraceLocation location);

class CVqTrace : public ITrace {
public:
    explicit CVqTrace(const wchar_t* name, TraceLocation location = {}, TraceImplFactory factory = nullptr);
    virtual ~CVqTrace();
    CVqTrace(const CVqTrace&) = delete;
    CVqTrace& operator=(const CVqTrace&) = delete;

    void TraceA(DWORD level, const char* format, ...) override;
    void TraceW(DWORD level, const wchar_t* format, ...) override;
    void TraceVA(DWORD level, const char* format, va_list args) override;
    void TraceVW(DWORD level, const wchar_t* format, va_list args) override;
    void TraceDump(DWORD level, const wchar_t* title, const void* data, DWORD size, DWORD flags) override;

    virtual bool Reload();
    virtual bool IsEnabled();
    virtual bool IsLevelEnabled(DWORD level);
    virtual bool IsContext(DWORD value);
    virtual bool IsTimeEnabled();
    virtual bool IsMsecEnabled();

    // The implementation, null when it could not be built (tests use it to
    // publish masks and install a record sink).
    CTraceImpl* Impl() { return m_pImpl.get(); }

private:
    std::unique_ptr<CTraceImpl> m_pImpl;
};

// The process-wide trace, created on first use with the name "ReRiruRuvazor".
CVqTrace& GetTrace();

}  // namespace VqBase
