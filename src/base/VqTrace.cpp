// The trace facade and its implementation: the gate, the record, the sinks.
#include "base/VqTrace.h"

#include "base/LastError.h"
#include "VqErrorCodes.h"
#include "base/VqAccessList.h"

#include "base/VqLogFile.h"
#include "base/VqLogRotation.h"
#include "base/VqLogSecurity.h"
#include "base/VqTraceRecord.h"

#include <cstdio>
#include <iterator>
#include <optional>

namespace VqBase {

namespace {

// "W> text" through the debugger, in the records' code page: the note of a
// log file that cannot be had, which the file sink itself cannot carry.
void DebugNote(const std::wstring& text) {
    const std::wstring note = L"W> " + text + L"\n";
    std::string narrow(note.size() * 2 + 1, '\0');
    ::WideCharToMultiByte(1251, 0, note.c_str(), static_cast<int>(note.size()), narrow.data(),
                          static_cast<int>(narrow.size()) - 1, nullptr, nullptr);
    ::OutputDebugStringA(narrow.c_str());
}

class SharedLock {
public:
    explicit SharedLock(SRWLOCK& lock) : m_Lock(lock) { ::AcquireSRWLockShared(&m_Lock); }
    ~SharedLock() { ::ReleaseSRWLockShared(&m_Lock); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    SRWLOCK& m_Lock;
};

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : m_Lock(lock) { ::AcquireSRWLockExclusive(&m_Lock); }
    ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&m_Lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& m_Lock;
};

// Room for the prefix fields, CR LF and the zero byte beside the message.
constexpr size_t kRecordReserve = 256;
constexpr size_t kFirstTextChars = 256;
// A conversion the formatter rejects for another reason than room would
// double the buffer for ever; beyond this the record is dropped.
constexpr size_t kMaxTextChars = size_t{1} << 20;

// Formats into a buffer of doubling size until the text fits; false when the
// buffer cannot be had or the ceiling is reached.
template <typename Char, typename Format>
bool FormatText(CHeapBuffer& text, int& length, Format format) {
    for (;;) {
        if (!text.IsValid()) return false;
        const size_t chars = text.Capacity() / sizeof(Char);
        length = format(reinterpret_cast<Char*>(text.Data()), chars);
        if (length >= 0) return true;
        if (chars >= kMaxTextChars) return false;
        text.ResetAndDouble();
    }
}

}  // namespace

CTraceImpl::CTraceImpl(const wchar_t* name, TraceLocation location, CEventLog* events)
    : m_Config(name ? name : L"", std::move(location)),
      m_NameField(MakeNameField(m_Config.m_Name)),
      m_Self(ProcessUserSid()),
      m_CommonSecurity(BuildCommonFileSecurity()),
      m_Chain([this](const std::wstring& path) {
          // Which file was the trace's own is known only within one path.
          if (path != m_ChainPath) m_KnownIndex = 0;
          m_ChainPath = path;
          return WalkLogTarget(path, m_Self, m_Config.m_FilePathProblem);
      }),
      m_Events(events) {
    VqBase::LastErrorKeeper keep;
    m_Locale = _create_locale(LC_ALL, "Russian");
    Reload();
}

CTraceImpl::~CTraceImpl() {
    m_Console.Release();
    if (m_Locale) _free_locale(m_Locale);
}

bool CTraceImpl::Reload() {
    VqBase::LastErrorKeeper keep;
    {
        ExclusiveLock lock(m_Lock);
        if (!m_Config.ReadConfig()) return false;
        const DWORD params = m_Config.m_ParamsMask.load();
        // A trace that writes nothing touches no file: switched off by its
        // levels (trace off), it must not empty, mark or make the log that
        // the last run left.
        if ((params & TP_FILE) && IsEnabled()) StartFile();
        if (params & TP_CONSOLE)
            m_Console.Open(m_Config.m_Name.c_str());
        else
            m_Console.Release();
    }
    // What the start met goes out to the sinks that work.
    FlushNotes();
    return true;
}

HANDLE CTraceImpl::FileMutex(const std::wstring& path, bool& trusted) {
    // The path changes only in Reload, which no output overlaps, so the
    // handle stays valid while records use it.
    ExclusiveLock lock(m_MutexLock);
    if (m_MutexPath != path) {
        VqBase::FileMutex mutex = CreateFileMutex(path, m_Self);
        m_FileMutex = std::move(mutex.Handle);
        m_MutexTrusted = mutex.Trusted;
        m_MutexPath = path;
        // Traced by Output once the record is out: a trace line from here
        // would wait for the locks this record holds.
        if (!mutex.Note.empty()) {
            m_FileMutexNote = std::move(mutex.Note);
            m_MutexNotePending = true;
        }
    }
    trusted = m_MutexTrusted;
    return m_FileMutex.get();
}

bool CTraceImpl::OpenFile(CTraceFile& file, bool common, bool append, bool empty, bool walkAgain,
                          CLogChain::Hold& hold) {
    // The path changes only in Reload, which no output overlaps.
    hold = m_Chain.Get(m_Config.m_FilePath, walkAgain);
    const LogFileRules rules{common, append, empty, m_Self.empty() ? nullptr : m_Self.data(), m_CommonSecurity.get(),
                             &m_KnownIndex};
    auto open = [&] {
        if (hold->Result == CLogDirectory::Held) return file.Open(hold->Directory.Handle(), hold->File, rules);
        return hold->Result == CLogDirectory::Refused ? CTraceFile::Refused : CTraceFile::NotOpened;
    };
    CTraceFile::Result result = open();
    if (result == CTraceFile::NotOpened || (result == CTraceFile::Refused && hold->Result != CLogDirectory::Held)) {
        // Whatever failed (a held directory that has gone, a blocker, a
        // drive that was not there yet), a fresh walk from the root may
        // succeed: at once after a chain that worked, else once a second.
        const ULONGLONG generation = hold.Generation();
        hold = m_Chain.WalkAgain(std::move(hold), false);
        if (hold.Generation() != generation) result = open();
    }
    const CLogTarget* target = &*hold;
    if (result == CTraceFile::Opened) {
        if (!target->Worked.load(std::memory_order_relaxed)) target->Worked = true;
        return true;
    }
    // Reported once per kind: the file sink is the one that failed, and a
    // line per record would flood the others.
    std::atomic<bool>& reported = result == CTraceFile::Refused ? m_RefusalReported : m_OpenFailureReported;
    if (!reported.exchange(true)) {
        const std::wstring& problem = target->Result == CLogDirectory::Held ? file.Problem() : target->Problem;
        ReportLogProblem(L"Trace file " + (target->For.empty() ? L"" : L"\"" + target->For + L"\" ") +
                         (result == CTraceFile::Refused ? L"refused: " : L"not written: ") + problem);
    }
    return false;
}

void CTraceImpl::ReportLogProblem(const std::wstring& text) {
    // The debugger hears of it at once; the other sinks once the record
    // that met it is out, since a record from here would wait for the locks
    // that record holds.
    DebugNote(text);
    // Nothing reads a debugger on a server: the administrator hears of it
    // in the event log, whatever the trace's configuration.
    if (m_Events) m_Events->Report(VqMessages::VQ_EVENT_TRACE_FILE_REFUSED, text, {text});
    ExclusiveLock lock(m_MutexLock);
    m_LogProblems.push_back(text);
    m_LogProblemPending = true;
}

void CTraceImpl::FlushNotes() {
    if (m_LogProblemPending.exchange(false)) {
        std::vector<std::wstring> problems;
        {
            ExclusiveLock lock(m_MutexLock);
            problems.swap(m_LogProblems);
        }
        // A warning like any other: a trace of errors only does not get it.
        if (!IsLevelEnabled(TL_WARNING)) problems.clear();
        // To the console and the record sink only: the file is what failed,
        // and the debugger has had its note.
        const DWORD params = m_Config.m_ParamsMask.load() & ~(TP_FILE | TP_DEBUGGER);
        for (const std::wstring& problem : problems) {
            const std::wstring line = L"[VqBase::CTraceImpl::OpenFile] " + problem;
            OutputWideWith(TL_WARNING, params, line.c_str(), line.size());
        }
    }
    if (m_MutexNotePending.exchange(false) && IsLevelEnabled(TL_WARNING)) {
        std::wstring note;
        {
            ExclusiveLock lock(m_MutexLock);
            note = L"[VqBase::CTraceImpl::FileMutex] " + m_FileMutexNote;
        }
        OutputWide(TL_WARNING, note.c_str(), note.size());
    }
}

void CTraceImpl::StartFile() {
    const bool common = m_Config.m_CommonFileFlag.load() != 0;
    const bool append = (m_Config.m_ParamsMask.load() & TP_APPEND) != 0;
    CTraceFile file;
    CLogChain::Hold hold;
    if (OpenFile(file, common, append, !common && !append, true, hold) && !common && append)
        file.Write(kSeparator, sizeof(kSeparator) - 1);
}

bool CTraceImpl::IsEnabled() {
    return m_Config.m_EnableMask.load(std::memory_order_relaxed) != 0 &&
           (m_Config.m_ParamsMask.load(std::memory_order_relaxed) & 0xFF) != 0;
}
bool CTraceImpl::IsLevelEnabled(DWORD level) { return (level & m_Config.m_EnableMask.load(std::memory_order_relaxed)) != 0; }
bool CTraceImpl::IsContext(DWORD value) { return value == m_Config.m_ContextMask.load(std::memory_order_relaxed); }
bool CTraceImpl::IsTimeEnabled() { return (m_Config.m_ParamsMask.load(std::memory_order_relaxed) & TP_TIME) != 0; }
bool CTraceImpl::IsMsecEnabled() { return (m_Config.m_ParamsMask.load(std::memory_order_relaxed) & TP_MSEC) != 0; }

void CTraceImpl::TraceVW(DWORD level, const wchar_t* format, va_list args) {
    if (!IsEnabled() || !IsLevelEnabled(level) || !format || !*format) return;
    VqBase::LastErrorKeeper keep;
    CHeapBuffer text(kFirstTextChars * sizeof(wchar_t));
    int length = 0;
    const bool formatted = FormatText<wchar_t>(text, length, [&](wchar_t* out, size_t chars) {
        va_list copy;
        va_copy(copy, args);
        const int n = _vsnwprintf_l(out, chars, format, m_Locale, copy);
        va_end(copy);
        return n;
    });
    if (formatted) OutputWide(level, reinterpret_cast<const wchar_t*>(text.Data()), static_cast<size_t>(length));
}

void CTraceImpl::TraceVA(DWORD level, const char* format, va_list args) {
    if (!IsEnabled() || !IsLevelEnabled(level) || !format || !*format) return;
    VqBase::LastErrorKeeper keep;
    CHeapBuffer text(kFirstTextChars);
    int length = 0;
    const bool formatted = FormatText<char>(text, length, [&](char* out, size_t chars) {
        va_list copy;
        va_copy(copy, args);
        const int n = _vsnprintf_l(out, chars, format, m_Locale, copy);
        va_end(copy);
        return n;
    });
    if (formatted) OutputNarrow(level, text.Data(), static_cast<size_t>(length));
}

void CTraceImpl::TraceDump(DWORD level, const wchar_t* title, const void* data, DWORD size, DWORD flags) {
    if (!data || size == 0 || !IsEnabled() || !IsLevelEnabled(level)) return;
    VqBase::LastErrorKeeper keep;
    const std::wstring text = BuildDumpText(title, data, size, flags);
    if (!text.empty()) OutputWide(level, text.data(), text.size());
}

namespace {

// Starts a record with its prefix; the message and the line end follow.
bool BeginRecord(CHeapBuffer& record, DWORD level, DWORD params, DWORD common, std::string_view nameField,
                 std::optional<CTraceTime>& time, std::optional<CTraceIds>& ids) {
    if (!record.IsValid()) return false;
    if (params & (TP_DATE | TP_TIME)) time.emplace();
    if (params & (TP_SESSION | TP_THREAD)) ids.emplace(CTraceIds::Current());
    CRecordPrefix prefix{level, params, common, nameField, time ? &*time : nullptr, ids ? &*ids : nullptr};
    return AppendPrefix(record, prefix);
}

}  // namespace

void CTraceImpl::OutputWide(DWORD level, const wchar_t* text, size_t length) {
    OutputWideWith(level, m_Config.m_ParamsMask.load(), text, length);
}

void CTraceImpl::OutputWideWith(DWORD level, DWORD params, const wchar_t* text, size_t length) {
    CHeapBuffer record(length + kRecordReserve);
    std::optional<CTraceTime> time;
    std::optional<CTraceIds> ids;
    if (!BeginRecord(record, level, params, m_Config.m_CommonFileFlag.load(), m_NameField, time, ids)) return;
    // Code page 1251 gives at most one byte per character, so the message
    // fits the room reserved for it.
    const int bytes = length ? ::WideCharToMultiByte(1251, 0, text, static_cast<int>(length), record.End(),
                                                     static_cast<int>(record.Free()), nullptr, nullptr)
                             : 0;
    if (bytes > 0) record.Commit(static_cast<size_t>(bytes));
    if (!record.Append("\r\n", 3)) return;
    Output(level, params, record.Data(), record.Size() - 1);
}

void CTraceImpl::OutputNarrow(DWORD level, const char* text, size_t length) {
    const DWORD params = m_Config.m_ParamsMask.load();
    CHeapBuffer record(length + kRecordReserve);
    std::optional<CTraceTime> time;
    std::optional<CTraceIds> ids;
    if (!BeginRecord(record, level, params, m_Config.m_CommonFileFlag.load(), m_NameField, time, ids)) return;
    if (!record.Append(text, length) || !record.Append("\r\n", 3)) return;
    Output(level, params, record.Data(), record.Size() - 1);
}

void CTraceImpl::Output(DWORD level, DWORD params, const char* record, size_t size) {
    if (params & TP_DEBUGGER) ::OutputDebugStringA(record);
    if (params & (TP_FILE | TP_CONSOLE)) {
        SharedLock lock(m_Lock);
        if (params & TP_FILE) {
            const bool common = m_Config.m_CommonFileFlag.load() != 0;
            const bool append = (params & TP_APPEND) != 0;
            CTraceFile file;
            if (const DWORD bound = m_Config.m_MaxFileSize.load()) {
                WriteBounded(common, append, bound, record, size);
            } else if (CLogChain::Hold hold; OpenFile(file, common, append, false, false, hold)) {
                // Let go before the guard is waited for: a walk again, which
                // a record may make under the guard, waits for every hold.
                hold.Release();
                bool trusted = true;
                const HANDLE mutex = common ? FileMutex(m_Config.m_FilePath, trusted) : nullptr;
                CFileWriteGuard serialise(mutex, trusted, m_MutexSquatted);
                file.Write(record, size);
            }
        }
        if (params & TP_CONSOLE) m_Console.Write(record, size);
    }
    if (level == TL_BREAK) {
        // No break into a debugger in a release build: the note says so.
        ::OutputDebugStringA(record);
        ::OutputDebugStringA(kBreakNote);
    }
    if (auto* sink = m_RecordSink.load()) sink->OnRecord(level, record, size);
    FlushNotes();
}

CVqTrace::CVqTrace(const wchar_t* name, TraceLocation location, TraceImplFactory factory) {
    // The first trace line of a caller builds this object; the caller's
    // error must survive that.
    VqBase::LastErrorKeeper keep;
    try {
        m_pImpl = factory ? factory(name, std::move(location))
                          : std::make_unique<CTraceImpl>(name, std::move(location), &m_Events);
    } catch (...) {
        m_pImpl.reset();
    }
    if (!m_pImpl) ::OutputDebugStringA("Exception raised in CVqTrace::CVqTrace()\n");
}

CVqTrace::~CVqTrace() { m_pImpl.reset(); }

void CVqTrace::TraceA(DWORD level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    TraceVA(level, format, args);
    va_end(args);
}

void CVqTrace::TraceW(DWORD level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    TraceVW(level, format, args);
    va_end(args);
}

void CVqTrace::TraceVA(DWORD level, const char* format, va_list args) {
    if (!m_pImpl) return;
    try {
        m_pImpl->TraceVA(level, format, args);
    } catch (...) {
    }
}

void CVqTrace::TraceVW(DWORD level, const wchar_t* format, va_list args) {
    if (!m_pImpl) return;
    try {
        m_pImpl->TraceVW(level, format, args);
    } catch (...) {
    }
}

void CVqTrace::TraceDump(DWORD level, const wchar_t* title, const void* data, DWORD size, DWORD flags) {
    if (!m_pImpl) return;
    try {
        m_pImpl->TraceDump(level, title, data, size, flags);
    } catch (...) {
    }
}

bool CVqTrace::Reload() {
    if (!m_pImpl) return false;
    try {
        return m_pImpl->Reload();
    } catch (...) {
        return false;
    }
}

bool CVqTrace::IsEnabled() { return m_pImpl && m_pImpl->IsEnabled(); }
bool CVqTrace::IsLevelEnabled(DWORD level) { return m_pImpl && m_pImpl->IsLevelEnabled(level); }
bool CVqTrace::IsContext(DWORD value) { return m_pImpl && m_pImpl->IsContext(value); }
bool CVqTrace::IsTimeEnabled() { return m_pImpl && m_pImpl->IsTimeEnabled(); }
bool CVqTrace::IsMsecEnabled() { return m_pImpl && m_pImpl->IsMsecEnabled(); }

CVqTrace& GetTrace() {
    // The runtime's guard of the first construction, and its wait in racing
    // threads, may touch the caller's error.
    VqBase::LastErrorKeeper keep;
    static CVqTrace trace(kTraceName);
    return trace;
}

void CTraceImpl::WriteBounded(bool common, bool append, DWORD bound, const char* record, size_t size) {
    // The size is read and the file renamed under the same guard as the
    // writes, so that no writer lands between the two: the named mutex of a
    // common file, which every program writing it takes; a private file is
    // written by this process alone, whose writes the guard orders anyway.
    bool trusted = true;
    const HANDLE mutex = common ? FileMutex(m_Config.m_FilePath, trusted) : nullptr;
    CFileWriteGuard serialise(mutex, trusted, m_MutexSquatted);
    std::optional<FileIdentity> due;
    CLogChain::Hold hold;
    {
        CTraceFile file;
        if (!OpenFile(file, common, append, false, false, hold)) return;
        // The size is the one the open's checks read.
        if (RotationDue(file.Size(), size, bound)) due = IdentityOf(file.Handle());
        if (!due) {
            file.Write(record, size);
            return;
        }
    }
    // The file is closed first: a handle without FILE_SHARE_DELETE would
    // make its own rename fail.
    const std::wstring problem = RotateLogFile(hold->Directory.Handle(), hold->File, *due);
    if (!problem.empty() && !m_RotationFailureReported.exchange(true))
        DebugNote(L"Trace file \"" + hold->For + L"\" not rotated: " + problem);
    // A file that could not be rotated still takes the record: a line is
    // never lost to the bound.
    CTraceFile file;
    hold.Release();
    if (!OpenFile(file, common, append, false, false, hold)) return;
    // A common file holds the lines of several programs: no start of this
    // one's is marked in it.
    if (problem.empty() && !common) file.Write(kSeparator, sizeof(kSeparator) - 1);
    file.Write(record, size);
}

}  // namespace VqBase
