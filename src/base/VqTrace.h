#pragma once
// The process-wide trace: interface, facade and implementation.
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <locale.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/VqEventLog.h"
#include "base/VqLogChain.h"
#include "base/VqLogFallback.h"
#include "base/VqOwners.h"
#include "base/VqTraceConfig.h"
#include "base/VqTraceConstants.h"
#include "base/VqTraceSinks.h"

namespace VqBase {

inline constexpr wchar_t kTraceName[] = L"ReRiruRuvazor";

struct ITrace {
    virtual void TraceA(DWORD level, const char* format, ...) = 0;
    virtual void TraceW(DWORD level, const wchar_t* format, ...) = 0;
    virtual void TraceVA(DWORD level, const char* format, va_list args) = 0;
    virtual void TraceVW(DWORD level, const wchar_t* format, va_list args) = 0;
    virtual void TraceDump(DWORD level, const wchar_t* title, const void* data, DWORD size, DWORD flags) = 0;

protected:
    ~ITrace() = default;
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
    // events: where a log path that cannot be used is reported (null: only
    // the debugger and the sinks hear of it).
    explicit CTraceImpl(const wchar_t* name, TraceLocation location = {}, CEventLog* events = nullptr);
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
    // Test seam: the account the log file's owner check takes for the
    // process's own (the directories are still judged as the process's):
    // where every file has one owner (Wine), LocalSystem here makes the
    // process's files stand for another user's.
    void JudgeFilesAs(std::vector<BYTE> self) { m_FileSelf = std::move(self); }

    CTraceConfig m_Config;
    CTraceConsole m_Console;
    _locale_t m_Locale = nullptr;

private:
    void OutputWide(DWORD level, const wchar_t* text, size_t length);
    void OutputNarrow(DWORD level, const char* text, size_t length);
    void Output(DWORD level, DWORD params, const char* record, size_t size);
    void OutputWideWith(DWORD level, DWORD params, const wchar_t* text, size_t length);

    // The named mutex that orders the writes of all processes to a common
    // file, made once per path; trusted is false for a squatter's.
    HANDLE FileMutex(const std::wstring& path, bool& trusted);

    enum class FileOpen { Opened, Lost, Fallback };
    // The record to the log file, or to the fallback file once the process
    // has one.
    void WriteToFile(const char* record, size_t size);
    // How the log file of the configuration is had; DirectoryPath from hold.
    LogFileRules Rules(bool empty, const CLogChain::Hold& hold);
    // Opens and checks the log file (empty: cut it, at start only), walking
    // the chain again first (walkAgain: at once), or when the open failed,
    // as CLogChain::WalkAgain allows. Plants it moved aside are reported.
    // Fallback: the directory is held but the file is not the sink's to
    // write; hold then still holds it. Lost: neither, reported once.
    FileOpen OpenFile(CTraceFile& file, bool empty, bool walkAgain, CLogChain::Hold& hold);
    // Under the write guard: a record that would take the file past bound
    // first rotates it (RotateLogFile) and begins the next file with the
    // separator line (a private file's); a rotation that cannot be made
    // sends this and every later line to a fallback file.
    void WriteBounded(DWORD bound, const char* record, size_t size);
    // Under the write guard: the record to the fallback file of hold's
    // directory, made at the first record.
    void WriteFallback(CLogChain::Hold& hold, const char* record, size_t size);
    // From now until the next start, the lines go to a fallback file; event
    // says why when it is made (VQ_EVENT_TRACE_FALLBACK or
    // VQ_EVENT_TRACE_ROTATION_BLOCKED).
    void FallBack(DWORD event, const std::wstring& why);
    // One entry per kind, a note per plant.
    void ReportMoved(const std::vector<MovedPlant>& moved, const CLogTarget& target, const std::wstring& name);
    // The plants moved aside since the start, when more than their entries
    // said.
    void ReportPlantCount();
    // A log file or path that cannot be had: a debugger note now, a warning
    // record at the console and the record sink by FlushNotes.
    void ReportLogProblem(const std::wstring& text);
    // A warning about the log file for FlushNotes to write: to the console
    // and the record sink, and with toFile to the file sink as well (a
    // fallback file, or a file whose plant was moved aside).
    void Note(const std::wstring& text, bool toFile);
    // Writes the notes that could not be written where they arose.
    void FlushNotes();

    // "[name] ", made once from m_Name.
    std::string m_NameField;
    // Reload rewrites the file path and the console while other threads may
    // write records: they hold it shared, Reload exclusively.
    SRWLOCK m_Lock = SRWLOCK_INIT;
    std::atomic<ITraceRecordSink*> m_RecordSink{nullptr};
    // The process's own user, and the descriptor a new common file gets.
    std::vector<BYTE> m_Self;
    std::vector<BYTE> m_FileSelf;
    std::unique_ptr<void, HeapFreer> m_CommonSecurity;
    // The chain of m_Config.m_FilePath, and the path last walked.
    CLogChain m_Chain;
    std::wstring m_ChainPath;
    // Guards what follows up to m_FileMutexNote, and the notes.
    SRWLOCK m_MutexLock = SRWLOCK_INIT;
    std::wstring m_MutexPath;
    UniqueHandle m_FileMutex;
    bool m_MutexTrusted = true;
    std::wstring m_FileMutexNote;
    std::atomic<bool> m_MutexSquatted{false};
    std::atomic<bool> m_MutexNotePending{false};
    // The index of the log file last found to be the trace's own, and of
    // the file the last rotation made NAME.1.
    std::atomic<LONGLONG> m_KnownIndex{0};
    std::atomic<LONGLONG> m_RotatedIndex{0};
    // The fallback file and why the process writes there; m_Fallback is
    // used under the write guard, the reason under m_MutexLock.
    CLogFallback m_Fallback;
    std::atomic<bool> m_OnFallback{false};
    DWORD m_FallbackEvent = 0;
    std::wstring m_FallbackWhy;
    CEventLog* m_Events = nullptr;
    std::vector<std::pair<std::wstring, bool>> m_LogProblems;
    std::atomic<bool> m_LogProblemPending{false};
    std::atomic<bool> m_RefusalReported{false};
    std::atomic<bool> m_OpenFailureReported{false};
    std::atomic<bool> m_FallbackFailureReported{false};
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
    // The process's entries in the event log, which the trace's
    // configuration does not silence.
    CEventLog& Events() { return m_Events; }

private:
    // Before the implementation, which reports through it from its start.
    CEventLog m_Events;
    std::unique_ptr<CTraceImpl> m_pImpl;
};

// The process-wide trace, created on first use with the name "ReRiruRuvazor".
CVqTrace& GetTrace();

}  // namespace VqBase
