#pragma once
// The pieces of a trace record: heap buffer, time stamp, prefix fields, the
// hexadecimal dump, and the scoped log file handle.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/VqLogDirectory.h"

namespace VqBase {

// A byte buffer on the process heap. A failed allocation leaves it invalid
// (no block); every operation then fails and the record is dropped.
class CHeapBuffer {
public:
    explicit CHeapBuffer(size_t capacity);
    ~CHeapBuffer();
    CHeapBuffer(const CHeapBuffer&) = delete;
    CHeapBuffer& operator=(const CHeapBuffer&) = delete;

    bool IsValid() const { return m_Begin != nullptr; }
    // Appends, doubling the capacity until the bytes fit.
    bool Append(const void* bytes, size_t size);
    // Discards the content and doubles the capacity (used while formatting).
    bool ResetAndDouble();
    // The writer filled `size` bytes of the free space directly.
    void Commit(size_t size) { m_End += size; }

    char* Data() const { return m_Begin; }
    char* End() const { return m_End; }
    size_t Size() const { return static_cast<size_t>(m_End - m_Begin); }
    size_t Capacity() const { return m_Capacity; }
    size_t Free() const { return m_Capacity - Size(); }

private:
    bool Grow(size_t capacity, bool keep);

    char* m_Begin = nullptr;
    char* m_End = nullptr;
    size_t m_Capacity = 0;
};

// One local time stamp and its three texts.
class CTraceTime {
public:
    CTraceTime();  // now
    explicit CTraceTime(const SYSTEMTIME& time);

    std::string_view Date() const { return {m_Date, 11}; }   // "dd.mm.yyyy "
    std::string_view Clock() const { return {m_Clock, 8}; }  // "hh:mm:ss"
    std::string_view Msec() const { return {m_Msec, 4}; }    // ".mmm"

private:
    char m_Date[12] = {};
    char m_Clock[9] = {};
    char m_Msec[5] = {};
};

// The identifiers a record can carry.
struct CTraceIds {
    DWORD m_Session = 0;
    DWORD m_Process = 0;
    DWORD m_Thread = 0;

    static CTraceIds Current();
};

// The longest trace name the name field holds: "[" + name + "] " is 48 bytes.
inline constexpr size_t kMaxNameField = 48;

// "[name] " in code page 1251; a longer name is cut so that the field keeps
// its 48 bytes.
std::string MakeNameField(const std::wstring& name);

// Everything the prefix of one record depends on.
struct CRecordPrefix {
    DWORD m_Level = 0;
    DWORD m_Params = 0;
    DWORD m_CommonFlag = 0;
    std::string_view m_NameField;
    const CTraceTime* m_Time = nullptr;  // needed with TP_DATE or TP_TIME
    const CTraceIds* m_Ids = nullptr;    // needed with TP_SESSION or TP_THREAD
};

// Appends date, time, milliseconds, name, session, process and thread, and
// the level mark, each when selected.
bool AppendPrefix(CHeapBuffer& record, const CRecordPrefix& prefix);

// Upper-case hexadecimal, zero-padded to 8 (0x80), 4 (0x40) or 2 digits.
std::wstring FormatNumber(DWORD value, DWORD flags);

// The message of a dump: the title and the items, 32 bytes, 16 words or 8
// double words to a line, each line led by the index of its first item.
std::wstring BuildDumpText(const wchar_t* title, const void* data, DWORD size, DWORD flags);

// The line that marks a new start in an appended private log file.
inline constexpr char kSeparator[] =
    "\r\n********************************************************************\r\n\r\n";
inline constexpr char kBreakNote[] = "W> A break is requested after last output, but ommitted in release.\n";

// Where the log file of one configured path goes: the held directory and
// the file's name, or why there is none.
struct CLogTarget {
    std::wstring For;
    CLogDirectory Directory;
    std::wstring File;
    CLogDirectory::Result Result = CLogDirectory::NotOpened;
    std::wstring Problem;
};

// Takes path apart and walks its directories.
std::shared_ptr<const CLogTarget> WalkLogTarget(const std::wstring& path, const std::vector<BYTE>& self);

// How a log file is to be had.
struct LogFileRules {
    // A common file is shared by design: any owner will do, and one made
    // here grants everyone append only (CommonSecurity).
    bool Common = false;
    // TP_APPEND: a private file's content is kept, so one that another user
    // owns is refused; without it such a file is replaced by a new one.
    bool Append = false;
    // Cut the file once it passed the checks (a private file at start
    // without TP_APPEND).
    bool Empty = false;
    // The process's own user, who may own a private file.
    const BYTE* Self = nullptr;
    PSECURITY_DESCRIPTOR CommonSecurity = nullptr;
    // The index of the private file last found to be the trace's own, so
    // that its owner is read only when another file has taken its place.
    std::atomic<LONGLONG>* KnownIndex = nullptr;
};

// A log file handle for one record or one preparation step, opened relative
// to the held and checked log directory without following a reparse point
// and checked on the handle before a byte is written: a file with one link
// (a hard link would lead elsewhere) and, when private, the trace's own.
class CTraceFile {
public:
    enum Result { Opened, NotOpened, Refused };

    CTraceFile() = default;
    CTraceFile(const CTraceFile&) = delete;
    CTraceFile& operator=(const CTraceFile&) = delete;

    // Opens name in directory for appending, creating it when missing.
    Result Open(HANDLE directory, const std::wstring& name, const LogFileRules& rules);
    void Write(const void* bytes, size_t size) const;
    bool IsOpen() const { return m_Handle != nullptr; }
    // Why the last Open did not give a handle, and the status of a failed
    // open (0 when the open itself worked).
    const std::wstring& Problem() const { return m_Problem; }
    LONG Status() const { return m_Status; }

private:
    Result OpenChecked(HANDLE directory, const std::wstring& name, const LogFileRules& rules, bool mayReplace);
    // Empty when the open private file is the trace's own, else the reason.
    std::wstring CheckOwner(const LogFileRules& rules, bool created) const;

    UniqueHandle m_Handle;
    std::wstring m_Problem;
    LONG m_Status = 0;
};

// Orders the writes to log files. Wine appends by looking up the end of the
// file and then writing there, so two writers can land on the same place:
// the writes of one process take turns, and those of several processes to a
// common file take a named mutex (null: none). Anyone may create and hold
// that mutex, so a record waits for it at most kFileMutexWaitMs; after such
// a time-out (squatted set) records do not wait at all until the mutex is
// had again, so that nothing is held up and nothing is lost. A mutex that
// another user made (trusted false) is never waited for.
inline constexpr DWORD kFileMutexWaitMs = 50;
class CFileWriteGuard {
public:
    CFileWriteGuard(HANDLE mutex, bool trusted, std::atomic<bool>& squatted);
    ~CFileWriteGuard();
    CFileWriteGuard(const CFileWriteGuard&) = delete;
    CFileWriteGuard& operator=(const CFileWriteGuard&) = delete;

private:
    HANDLE m_Mutex;
    bool m_Owned = false;
};

// "<space>VqTraceFile-<hash of the upper-case path>".
std::wstring FileMutexName(const std::wstring& path, const wchar_t* space);

// The mutex shared by every process that writes the file at path.
struct FileMutex {
    UniqueHandle Handle;
    // False when the mutex existed and neither LocalSystem, the
    // Administrators nor self made it: a squatter's, never waited for.
    bool Trusted = true;
    // What the trace says of it once, or empty: the fallback to the
    // session-local name, or who made an untrusted mutex.
    std::wstring Note;
};

// Creates or opens the global mutex, else the session-local one, owned by
// self so that other processes can tell who made it.
FileMutex CreateFileMutex(const std::wstring& path, const std::vector<BYTE>& self);

}  // namespace VqBase
