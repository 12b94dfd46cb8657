// The log file: opened relative to the held directory, checked on its
// handle, guarded while it is written.
#include "base/VqLogFile.h"

#include "base/VqAccessList.h"
#include "base/VqLogEntries.h"
#include "base/VqLogSecurity.h"

namespace VqBase {

namespace {

constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG kStatusFileIsADirectory = static_cast<LONG>(0xC00000BA);

// A user who plants again at once is met again, this often, and then
// refused: the sink is not held in a loop by a racer.
constexpr int kMovesPerOpen = 4;

std::wstring OpenProblem(LONG status) {
    if (status == kStatusFileIsADirectory) return L"a directory has the file's name";
    return WithError(L"cannot open", StatusToError(status));
}

}  // namespace

std::shared_ptr<const CLogTarget> WalkLogTarget(const std::wstring& path, const std::vector<BYTE>& self,
                                                const std::wstring& problem, WalkMode mode) {
    auto target = std::make_shared<CLogTarget>();
    target->For = path;
    target->WalkedAt = ::GetTickCount64();
    if (!problem.empty()) {
        target->Problem = problem;
        return target;
    }
    const std::optional<LogPathParts> parts = SplitLogPath(path.c_str(), &target->Problem);
    if (!parts) return target;
    if (parts->File.empty()) {
        target->Problem = L"a directory, not a file";
        return target;
    }
    target->File = parts->File;
    target->Result = target->Directory.Walk(*parts, self, mode);
    target->Problem = target->Directory.Problem();
    return target;
}

CTraceFile::Result CTraceFile::Open(HANDLE directory, const std::wstring& name, const LogFileRules& rules) {
    m_Moved.clear();
    m_MoveProblem.clear();
    Result result = OpenChecked(directory, name, rules, FILE_OPEN_IF);
    // A common file may hold other programs' lines and is left alone; what
    // stands at a private file's name and is not the sink's is kept aside.
    for (int moves = 0; result == Refused && m_Plant != PlantKind::None && !rules.Common && rules.DirectoryPath &&
                        moves < kMovesPerOpen;
         ++moves) {
        MovedPlant moved;
        m_MoveProblem = MoveAside(directory, *rules.DirectoryPath, name, m_Plant, moved);
        if (!m_MoveProblem.empty()) break;
        m_Moved.push_back(std::move(moved));
        result = OpenChecked(directory, name, rules, FILE_OPEN_IF);
    }
    return result;
}

CTraceFile::Result CTraceFile::OpenExisting(HANDLE directory, const std::wstring& name, const LogFileRules& rules) {
    m_Moved.clear();
    m_MoveProblem.clear();
    return OpenChecked(directory, name, rules, FILE_OPEN);
}

CTraceFile::Result CTraceFile::Create(HANDLE directory, const std::wstring& name, const LogFileRules& rules) {
    m_Moved.clear();
    m_MoveProblem.clear();
    return OpenChecked(directory, name, rules, FILE_CREATE);
}

CTraceFile::Result CTraceFile::OpenChecked(HANDLE directory, const std::wstring& name, const LogFileRules& rules,
                                           ULONG disposition) {
    // Append access only: every write lands at the end of the file, also when
    // other threads and processes write the same file. A file to be emptied
    // also needs write access, used only to cut it; the owner is read when
    // another file may have taken the known one's place.
    const ACCESS_MASK access = FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES | READ_CONTROL |
                               (rules.Empty ? FILE_WRITE_DATA : 0) | (disposition == FILE_CREATE ? DELETE : 0);
    m_Problem.clear();
    m_Plant = PlantKind::None;
    ULONG_PTR information = 0;
    // Never created empty by the open itself: that would cut whatever a
    // planted link leads to before any check could run.
    m_Status = OpenRelative(directory, name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition,
                            FILE_NON_DIRECTORY_FILE, rules.Common ? rules.CommonSecurity : nullptr, m_Handle,
                            &information);
    if (m_Status == kStatusFileIsADirectory) m_Plant = PlantKind::Directory;
    if (m_Status < 0) {
        m_Problem = OpenProblem(m_Status);
        return m_Plant != PlantKind::None ? Refused : NotOpened;
    }
    m_Problem = CheckHandle(name, rules, information == FILE_CREATED);
    if (!m_Problem.empty()) {
        m_Handle.reset();
        return Refused;
    }
    if (rules.Empty && !::SetEndOfFile(m_Handle.get())) {
        m_Problem = WithError(L"cannot empty", ::GetLastError());
        m_Handle.reset();
        return NotOpened;
    }
    return Opened;
}

CTraceFile::Result CTraceFile::Judge(HANDLE directory, const std::wstring& name, const LogFileRules& rules) {
    m_Problem.clear();
    m_Plant = PlantKind::None;
    m_Status = OpenRelative(directory, name, FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                            nullptr, m_Handle);
    // A missing file is created by the sink, with a descriptor of its own.
    if (m_Status == kStatusObjectNameNotFound) return Opened;
    if (m_Status == kStatusFileIsADirectory) m_Plant = PlantKind::Directory;
    if (m_Status < 0) {
        m_Problem = OpenProblem(m_Status);
        return m_Plant != PlantKind::None ? Refused : NotOpened;
    }
    m_Problem = CheckHandle(name, rules, false);
    m_Handle.reset();
    return m_Problem.empty() ? Opened : Refused;
}

std::wstring CTraceFile::CheckHandle(const std::wstring& name, const LogFileRules& rules, bool created) {
    // On the handle, never the name: a reparse point (a link that the open
    // did not follow) or a second link would lead elsewhere.
    if (!FileIndexOf(m_Handle.get(), m_Index)) return L"index not readable";
    const bool known = created || (rules.KnownIndex && m_Index == rules.KnownIndex->load());
    // Where a file not yet known really is: read once per file, not per line.
    const std::wstring expected = rules.DirectoryPath && !known ? JoinPath(*rules.DirectoryPath, name) : std::wstring();
    FILE_STANDARD_INFO standard{};
    const EntryVerdict verdict = JudgeEntry(m_Handle.get(), expected.empty() ? nullptr : &expected, standard);
    m_Plant = verdict.Kind;
    if (!verdict.Reason.empty()) return verdict.Reason;
    m_Size = static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);
    std::wstring owner = CheckOwner(rules, known);
    if (owner.empty()) return owner;
    m_Plant = PlantKind::ForeignOwner;
    if (rules.Common) owner += L": another's common file, which may hold other programs' lines";
    return owner;
}

std::wstring CTraceFile::CheckOwner(const LogFileRules& rules, bool known) const {
    if (!known) {
        ObjectSecurity security;
        const DWORD error = ReadSecurity(m_Handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, security);
        if (error != ERROR_SUCCESS) return WithError(L"owner not readable", error);
        std::wstring reason = JudgeLogFileOwner(security.Owner, rules.Self);
        if (!reason.empty()) return reason;
    }
    if (rules.KnownIndex) rules.KnownIndex->store(m_Index);
    return {};
}

void CTraceFile::Write(const void* bytes, size_t size) const {
    DWORD written = 0;
    ::WriteFile(m_Handle.get(), bytes, static_cast<DWORD>(size), &written, nullptr);
}

namespace {
SRWLOCK g_FileWriteLock = SRWLOCK_INIT;
}  // namespace

CFileWriteGuard::CFileWriteGuard(HANDLE mutex, bool trusted, std::atomic<bool>& squatted) : m_Mutex(mutex) {
    ::AcquireSRWLockExclusive(&g_FileWriteLock);
    if (m_Mutex) {
        const DWORD wait = ::WaitForSingleObject(m_Mutex, !trusted || squatted.load() ? 0 : kFileMutexWaitMs);
        m_Owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        if (m_Owned)
            squatted = false;
        else if (wait == WAIT_TIMEOUT && trusted)
            squatted = true;
    }
}

CFileWriteGuard::~CFileWriteGuard() {
    if (m_Owned) ::ReleaseMutex(m_Mutex);
    ::ReleaseSRWLockExclusive(&g_FileWriteLock);
}

std::wstring FileMutexName(const std::wstring& path, const wchar_t* space) {
    // Object names cannot hold the path itself: a hash of its upper-case
    // form names the file.
    std::wstring upper = path;
    if (!upper.empty())
        ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, path.data(), static_cast<int>(path.size()), upper.data(),
                       static_cast<int>(upper.size()));
    unsigned long long hash = 14695981039346656037ull;
    for (wchar_t c : upper) hash = (hash ^ static_cast<unsigned>(c)) * 1099511628211ull;
    wchar_t name[64];
    _snwprintf(name, 63, L"%sVqTraceFile-%016llX", space, hash);
    name[63] = L'\0';
    return name;
}

FileMutex CreateFileMutex(const std::wstring& path, const std::vector<BYTE>& self, bool elevated) {
    // Owned by self explicitly: some systems (Wine) record no owner for an
    // object made without a descriptor, and the owner is what tells a
    // squatter's mutex from one of the product's.
    // An elevated administrator's program names the Administrators, as the
    // system does for its objects, so that the service trusts its mutex.
    std::vector<BYTE> owner = NewObjectOwner(self, elevated);
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
    if (!owner.empty() && ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        ::SetSecurityDescriptorOwner(&descriptor, owner.data(), FALSE))
        attributes.lpSecurityDescriptor = &descriptor;

    FileMutex result;
    const std::wstring global = FileMutexName(path, L"Global\\");
    const std::wstring local = FileMutexName(path, L"Local\\");
    std::wstring name = global;
    result.Handle.reset(::CreateMutexW(&attributes, FALSE, global.c_str()));
    if (!result.Handle) {
        const DWORD globalError = ::GetLastError();
        result.Handle.reset(::CreateMutexW(&attributes, FALSE, local.c_str()));
        name = local;
        result.Note = WithError(L"\"" + global + L"\" not available", globalError);
        result.Note += result.Handle ? L": using \"" + local + L"\""
                                     : L"; " + WithError(L"nor \"" + local + L"\"", ::GetLastError()) +
                                           L": the writes of several processes are not ordered";
    }
    if (!result.Handle || ::GetLastError() != ERROR_ALREADY_EXISTS) return result;

    ObjectSecurity found;
    const DWORD error = ReadSecurity(result.Handle.get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, found);
    const auto* ownerSid = static_cast<const BYTE*>(found.Owner);
    if (error == ERROR_SUCCESS && ownerSid &&
        (IsSystemOrAdministrators(ownerSid) || SameSid(ownerSid, self.empty() ? nullptr : self.data())))
        return result;
    result.Trusted = false;
    if (!result.Note.empty()) result.Note += L"; ";
    result.Note += L"\"" + name + L"\" was made by " +
                   (error != ERROR_SUCCESS ? WithError(L"an unknown owner", error)
                    : ownerSid            ? SidText(ownerSid)
                                          : std::wstring(L"no owner")) +
                   L", not by this user or an administrator: records do not wait for it";
    return result;
}

}  // namespace VqBase
