#pragma once
// The log file: the target a walk of its directories yields, the file opened
// relative to the held directory without following a reparse point and
// checked on its handle (one link, the owner of a private file), the rules
// of how it is had, the write guard, and the named mutex that orders the
// writes of several processes.
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"
#include "base/VqLogPlants.h"
#include "base/VqOwners.h"

namespace VqBase {

// The line that marks a new start in an appended private log file.
inline constexpr char kSeparator[] =
    "\r\n********************************************************************\r\n\r\n";

// Where the log file of one configured path goes: the held directory and
// the file's name, or why there is none.
struct CLogTarget {
    std::wstring For;
    CLogDirectory Directory;
    std::wstring File;
    CLogDirectory::Result Result = CLogDirectory::NotOpened;
    std::wstring Problem;
    // When the walk ran (GetTickCount64), and whether a file was opened in
    // the directory it holds since: a chain that worked and then failed is
    // walked again at once, one that never worked at most once a second.
    ULONGLONG WalkedAt = 0;
    mutable std::atomic<bool> Worked{false};
};

// Takes path apart and walks its directories; with a problem (why the
// configuration allows no file), no walk: the target carries the problem.
// WalkMode::Judge creates nothing (diagctl's check of the sink's path).
std::shared_ptr<const CLogTarget> WalkLogTarget(const std::wstring& path, const std::vector<BYTE>& self,
                                                const std::wstring& problem = {},
                                                WalkMode mode = WalkMode::Create);

// How a log file is to be had.
struct LogFileRules {
    // A common file is shared by design: every product program appends to
    // it, and one made here grants everyone append only (CommonSecurity).
    // Like a private one it must belong to LocalSystem, the Administrators
    // or self, but another's is refused, never replaced.
    bool Common = false;
    // TP_APPEND: a private file's content is kept.
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
    // The final path of the held directory: a file not yet known must be
    // found there (a link that the system followed is not), and what is
    // planted at a private file's name is moved aside. Null: neither.
    const std::wstring* DirectoryPath = nullptr;
};

// A log file handle for one record or one preparation step, opened relative
// to the held and checked log directory without following a reparse point
// and checked on the handle before a byte is written: a file with one link
// (a hard link would lead elsewhere) that belongs to a trusted owner. What
// stands at a private file's name and fails those checks is a plant: it is
// moved aside (MoveAside) and a file of the sink's own made in its place.
class CTraceFile {
public:
    enum Result { Opened, NotOpened, Refused };

    CTraceFile() = default;
    CTraceFile(const CTraceFile&) = delete;
    CTraceFile& operator=(const CTraceFile&) = delete;

    // Opens name in directory for appending, creating it when missing.
    Result Open(HANDLE directory, const std::wstring& name, const LogFileRules& rules);
    // Opens name in directory only when it exists, with the same checks.
    Result OpenExisting(HANDLE directory, const std::wstring& name, const LogFileRules& rules);
    // Creates name in directory, which must not exist yet (FILE_CREATE),
    // with DELETE access besides, so that the handle can rename it.
    Result Create(HANDLE directory, const std::wstring& name, const LogFileRules& rules);
    // What Open would find, without creating, emptying or moving anything:
    // Opened when the file is missing or passes the checks, else Refused
    // (with the Plant it is) or NotOpened, with the Problem.
    Result Judge(HANDLE directory, const std::wstring& name, const LogFileRules& rules);
    void Write(const void* bytes, size_t size) const;
    void Close() { m_Handle.reset(); }
    bool IsOpen() const { return m_Handle != nullptr; }
    HANDLE Handle() const { return m_Handle.get(); }
    // Why the last Open did not give a handle, and the status of a failed
    // open (0 when the open itself worked).
    const std::wstring& Problem() const { return m_Problem; }
    LONG Status() const { return m_Status; }
    // The file's size when Open checked it: a bound on the size needs no
    // query of its own per line.
    ULONGLONG Size() const { return m_Size; }
    // The file's index on its volume, read by the checks.
    LONGLONG Index() const { return m_Index; }
    // What the refused entry is, when it is a plant.
    PlantKind Plant() const { return m_Plant; }
    // The plants that Open moved aside before it had the file.
    const std::vector<MovedPlant>& Moved() const { return m_Moved; }
    // Why a plant could not be moved aside (the file was then refused).
    const std::wstring& MoveProblem() const { return m_MoveProblem; }

private:
    Result OpenChecked(HANDLE directory, const std::wstring& name, const LogFileRules& rules, ULONG disposition);
    // Empty when the open file may be written: no reparse point, one link,
    // found where it was looked for, an owner that CheckOwner accepts; else
    // the reason, and the Plant it makes the file.
    std::wstring CheckHandle(const std::wstring& name, const LogFileRules& rules, bool created);
    // Empty when the open file is the trace's own or belongs to LocalSystem,
    // the Administrators or self, else the reason.
    std::wstring CheckOwner(const LogFileRules& rules, bool known) const;

    UniqueHandle m_Handle;
    std::wstring m_Problem;
    LONG m_Status = 0;
    ULONGLONG m_Size = 0;
    LONGLONG m_Index = 0;
    PlantKind m_Plant = PlantKind::None;
    std::vector<MovedPlant> m_Moved;
    std::wstring m_MoveProblem;
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
// NewObjectOwner(self, elevated) so that other processes can tell who made
// it.
FileMutex CreateFileMutex(const std::wstring& path, const std::vector<BYTE>& self,
                          bool elevated = ProcessIsElevated());

}  // namespace VqBase
