// The trace facade and its implementation: the gate, the record, the sinks.
#include "base/VqTrace.h"

#include "base/LastError.h"
#include "VqErrorCodes.h"
#include "base/VqAccessList.h"

#include "base/VqLogFile.h"
#include "base/VqLogNames.h"
#include "base/VqLogPlants.h"
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
      m_FileSelf(m_Self),
      m_CommonSecurity(BuildCommonFileSecurity()),
      m_Chain([this](const std::wstring& path) {
          // Which files were the trace's own is known only within one path.
          if (path != m_ChainPath) m_KnownIndex = m_RotatedIndex = 0;
          m_ChainPath = path;
          return WalkLogTarget(path, m_Self, m_Config.m_FilePathProblem);
      }),
      m_Events(events) {
    VqBase::LastErrorKeeper keep;
    m_Locale = _create_locale(LC_ALL, "Russian");
    Reload();
}

CTraceImpl::~CTraceImpl() {
    ReportPlantCount();
    m_Console.Release();
    if (m_Locale) _free_locale(m_Locale);
}

bool CTraceImpl::Reload() {
    VqBase::LastErrorKeeper keep;
    {
        ExclusiveLock lock(m_Lock);
        if (!m_Config.ReadConfig()) return false;
        const DWORD params = m_Config.m_ParamsMask.load();
        // Each start tries the configured file again.
        m_OnFallback = false;
        m_Fallback.Forget();
        // A trace that writes nothing touches no file: switched off, it must
        // not empty, mark or create the log it would otherwise keep.
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

LogFileRules CTraceImpl::Rules(bool empty, const CLogChain::Hold& hold) {
    LogFileRules rules;
    rules.Common = m_Config.m_CommonFileFlag.load() != 0;
    rules.Append = (m_Config.m_ParamsMask.load() & TP_APPEND) != 0;
    rules.Empty = empty;
    rules.Self = m_FileSelf.empty() ? nullptr : m_FileSelf.data();
    rules.CommonSecurity = m_CommonSecurity.get();
    rules.KnownIndex = &m_KnownIndex;
    rules.DirectoryPath = hold && hold->Result == CLogDirectory::Held ? &hold->Directory.Path() : nullptr;
    return rules;
}

CTraceImpl::FileOpen CTraceImpl::OpenFile(CTraceFile& file, bool empty, bool walkAgain, CLogChain::Hold& hold) {
    // The path changes only in Reload, which no output overlaps.
    hold = m_Chain.Get(m_Config.m_FilePath, walkAgain);
    auto open = [&] {
        if (hold->Result == CLogDirectory::Held)
            return file.Open(hold->Directory.Handle(), hold->File, Rules(empty, hold));
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
    ReportMoved(file.Moved(), *hold, hold->File);
    if (result == CTraceFile::Opened) {
        if (!hold->Worked.load(std::memory_order_relaxed)) hold->Worked = true;
        return FileOpen::Opened;
    }
    if (hold->Result == CLogDirectory::Held) {
        // The directory is the sink's, the file is not there for it (locked,
        // another's, a plant that stays): a file of its own takes the lines.
        std::wstring why = file.Problem();
        if (!file.MoveProblem().empty()) why += L", and " + file.MoveProblem();
        FallBack(VqMessages::VQ_EVENT_TRACE_FALLBACK, why);
        return FileOpen::Fallback;
    }
    // Reported once per kind: the file sink is the one that failed, and a
    // line per record would flood the others.
    std::atomic<bool>& reported = result == CTraceFile::Refused ? m_RefusalReported : m_OpenFailureReported;
    if (!reported.exchange(true))
        ReportLogProblem(L"Trace file " + (hold->For.empty() ? std::wstring() : L"\"" + hold->For + L"\" ") +
                         (result == CTraceFile::Refused ? L"refused: " : L"not written: ") + hold->Problem);
    return FileOpen::Lost;
}

void CTraceImpl::FallBack(DWORD event, const std::wstring& why) {
    ExclusiveLock lock(m_MutexLock);
    if (m_OnFallback.load()) return;
    m_FallbackEvent = event;
    m_FallbackWhy = why;
    m_OnFallback = true;
}

void CTraceImpl::ReportMoved(const std::vector<MovedPlant>& moved, const CLogTarget& target,
                             const std::wstring& name) {
    for (const MovedPlant& plant : moved) {
        const std::wstring kind = PlantKindName(plant.Kind);
        const std::wstring at = JoinPath(target.Directory.Path(), name);
        const std::wstring owner = plant.Owner.empty() ? L"unknown" : SidText(plant.Owner.data());
        const std::wstring aside = JoinPath(target.Directory.Path(), plant.Aside);
        // One entry per kind: whoever can add entries to the directory could
        // otherwise flood the event log. The count follows at the stop.
        if (m_Events) m_Events->Report(VqMessages::VQ_EVENT_TRACE_PLANT_MOVED, kind, {kind, at, owner, aside}, plant.Owner);
        const std::wstring text = L"Trace file \"" + at + L"\": " + kind + L" (owner " + owner +
                                  L") stood there; moved aside to \"" + aside + L"\"";
        DebugNote(text);
        Note(text, true);
    }
}

void CTraceImpl::ReportPlantCount() {
    if (!m_Events) return;
    unsigned total = 0, reported = 0;
    std::wstring kinds;
    for (PlantKind kind : {PlantKind::Directory, PlantKind::Link, PlantKind::HardLink, PlantKind::ForeignOwner}) {
        const unsigned count = m_Events->Occurrences(VqMessages::VQ_EVENT_TRACE_PLANT_MOVED, PlantKindName(kind));
        if (count == 0) continue;
        total += count;
        ++reported;
        kinds += (kinds.empty() ? L"" : L", ") + std::to_wstring(count) + L" " + PlantKindName(kind);
    }
    if (total > reported)
        m_Events->Report(VqMessages::VQ_EVENT_TRACE_PLANTS_COUNT, {}, {std::to_wstring(total), kinds});
}

void CTraceImpl::ReportLogProblem(const std::wstring& text) {
    // The debugger hears of it at once; the other sinks once the record
    // that met it is out, since a record from here would wait for the locks
    // that record holds.
    DebugNote(text);
    // Nothing reads a debugger on a server: the administrator hears of it
    // in the event log, whatever the trace's configuration.
    if (m_Events) m_Events->Report(VqMessages::VQ_EVENT_TRACE_FILE_REFUSED, text, {text});
    Note(text, false);
}

void CTraceImpl::Note(const std::wstring& text, bool toFile) {
    ExclusiveLock lock(m_MutexLock);
    m_LogProblems.emplace_back(text, toFile);
    m_LogProblemPending = true;
}

void CTraceImpl::FlushNotes() {
    if (m_LogProblemPending.exchange(false)) {
        std::vector<std::pair<std::wstring, bool>> problems;
        {
            ExclusiveLock lock(m_MutexLock);
            problems.swap(m_LogProblems);
        }
        // A warning like any other: a trace of errors only does not get it.
        // The debugger has had its note; the file only where it is written.
        const DWORD params = m_Config.m_ParamsMask.load() & ~TP_DEBUGGER;
        for (const auto& [problem, toFile] : problems) {
            if (!IsLevelEnabled(TL_WARNING)) break;
            const std::wstring line = L"[VqBase::CTraceImpl::OpenFile] " + problem;
            OutputWideWith(TL_WARNING, toFile ? params : params & ~TP_FILE, line.c_str(), line.size());
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
    bool trusted = true;
    const HANDLE mutex = common ? FileMutex(m_Config.m_FilePath, trusted) : nullptr;
    CFileWriteGuard serialise(mutex, trusted, m_MutexSquatted);
    CLogChain::Hold hold;
    CTraceFile file;
    // A private file is emptied unless TP_APPEND keeps it and marks the
    // start; a fallback file begins empty anyway.
    if (OpenFile(file, !common && !append, true, hold) == FileOpen::Opened && !common && append)
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
        if (params & TP_FILE) WriteToFile(record, size);
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

void CTraceImpl::WriteToFile(const char* record, size_t size) {
    const DWORD bound = m_Config.m_MaxFileSize.load();
    const bool common = m_Config.m_CommonFileFlag.load() != 0;
    bool trusted = true;
    const HANDLE mutex = common ? FileMutex(m_Config.m_FilePath, trusted) : nullptr;
    if (bound == 0 && !m_OnFallback.load()) {
        // Opened and checked outside the guard, so that threads open side by
        // side; the chain is let go before the guard is waited for, since a
        // walk again under the guard waits until nobody holds the chain.
        CTraceFile file;
        {
            CLogChain::Hold hold;
            const FileOpen opened = OpenFile(file, false, false, hold);
            if (opened == FileOpen::Lost) return;
            if (opened == FileOpen::Opened) {
                hold.Release();
                CFileWriteGuard serialise(mutex, trusted, m_MutexSquatted);
                file.Write(record, size);
                return;
            }
        }
        CFileWriteGuard serialise(mutex, trusted, m_MutexSquatted);
        CLogChain::Hold hold = m_Chain.Get(m_Config.m_FilePath);
        WriteFallback(hold, record, size);
        return;
    }
    // The size is read and the file rotated under the same guard as the
    // writes, so that no writer lands between the two: the named mutex of a
    // common file, which every program writing it takes; a private file is
    // written by this process alone, whose writes the guard orders anyway.
    CFileWriteGuard serialise(mutex, trusted, m_MutexSquatted);
    if (m_OnFallback.load()) {
        CLogChain::Hold hold = m_Chain.Get(m_Config.m_FilePath);
        WriteFallback(hold, record, size);
        return;
    }
    WriteBounded(bound, record, size);
}

void CTraceImpl::WriteBounded(DWORD bound, const char* record, size_t size) {
    CLogChain::Hold hold;
    CTraceFile file;
    const FileOpen opened = OpenFile(file, false, false, hold);
    if (opened == FileOpen::Lost) return;
    if (opened == FileOpen::Opened) {
        // The size is the one the open's checks read.
        if (!RotationDue(file.Size(), size, bound)) {
            file.Write(record, size);
            return;
        }
        const LONGLONG index = file.Index();
        // Closed first: the system replaces no file that is open.
        file.Close();
        const LogFileRules rules = Rules(false, hold);
        const LogRotation rotation{hold->Directory.Handle(), &hold->Directory.Path(), hold->File, index, &rules,
                                   &m_RotatedIndex};
        CTraceFile next;
        std::vector<MovedPlant> moved;
        const std::wstring problem = RotateLogFile(rotation, next, moved);
        ReportMoved(moved, *hold, RotatedName(hold->File));
        if (problem.empty()) {
            // A common file holds the lines of several programs: no start
            // of this one's is marked in it.
            if (!rules.Common) next.Write(kSeparator, sizeof(kSeparator) - 1);
            next.Write(record, size);
            return;
        }
        // So that no file grows past the bound: a line is never lost to it,
        // and never written past it.
        FallBack(VqMessages::VQ_EVENT_TRACE_ROTATION_BLOCKED, problem);
    }
    WriteFallback(hold, record, size);
}

void CTraceImpl::WriteFallback(CLogChain::Hold& hold, const char* record, size_t size) {
    std::wstring made, why = L"its directory is not held";
    if (hold && hold->Result == CLogDirectory::Held &&
        m_Fallback.Write(hold->Directory.Handle(), hold->File, m_Config.m_MaxFileSize.load(), record, size, made, why)) {
        if (made.empty()) return;
        DWORD event = 0;
        std::wstring reason;
        {
            ExclusiveLock lock(m_MutexLock);
            event = m_FallbackEvent;
            reason = m_FallbackWhy;
            m_FallbackEvent = 0;
        }
        // Said once, when the first fallback file is made; its generations
        // follow it quietly.
        if (event == 0) return;
        const std::wstring configured = JoinPath(hold->Directory.Path(), hold->File);
        const std::wstring fallback = JoinPath(hold->Directory.Path(), made);
        if (m_Events) m_Events->Report(event, configured, {L"\"" + configured + L"\"", reason, L"\"" + fallback + L"\""});
        const std::wstring text = L"Trace file \"" + configured + L"\" " +
                                  (event == VqMessages::VQ_EVENT_TRACE_ROTATION_BLOCKED ? L"not rotated: "
                                                                                        : L"cannot be written: ") +
                                  reason + L"; its lines go to \"" + fallback + L"\"";
        DebugNote(text);
        Note(text, true);
        return;
    }
    // Without a fallback file the next line tries the configured file again.
    m_OnFallback = false;
    if (m_FallbackFailureReported.exchange(true)) return;
    std::wstring reason;
    {
        ExclusiveLock lock(m_MutexLock);
        reason = m_FallbackWhy;
    }
    ReportLogProblem(L"Trace file \"" + m_Config.m_FilePath + L"\" not written: " + reason + L"; no fallback file: " +
                     why);
}

}  // namespace VqBase
