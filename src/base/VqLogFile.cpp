// The log file: opened relative to the held directory, checked on its
// handle, guarded while it is written.
#include "base/VqLogFile.h"

#include <winternl.h>

#include "base/VqAccessList.h"
#include "base/VqLogSecurity.h"

namespace VqBase {

namespace {

// FileInternalInformation: the file's index on its volume. Cheaper here than
// the Win32 queries that also give it.
constexpr int kFileInternalInformation = 6;

bool FileIndex(HANDLE file, LONGLONG& index) {
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER value{};
    const NTSTATUS status = ::NtQueryInformationFile(file, &io, &value, sizeof(value),
                                                     static_cast<FILE_INFORMATION_CLASS>(kFileInternalInformation));
    index = value.QuadPart;
    return status >= 0;
}

constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG kStatusFileIsADirectory = static_cast<LONG>(0xC00000BA);

std::wstring OpenProblem(LONG status) {
    if (status == kStatusFileIsADirectory) return L"a directory has the file's name";
    return WithError(L"cannot open", StatusToError(status));
}

bool DeleteEntry(HANDLE directory, const std::wstring& name) {
    UniqueHandle doomed;
    if (OpenRelative(directory, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                     FILE_NON_DIRECTORY_FILE, nullptr, doomed) < 0)
        return false;
    FILE_DISPOSITION_INFO disposition{TRUE};
    return ::SetFileInformationByHandle(doomed.get(), FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
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
    return OpenChecked(directory, name, rules, !rules.Common && !rules.Append);
}

CTraceFile::Result CTraceFile::OpenChecked(HANDLE directory, const std::wstring& name, const LogFileRules& rules,
                                           bool mayReplace) {
    // Append access only: every write lands at the end of the file, also when
    // other threads and processes write the same file. A file to be emptied
    // also needs write access, used only to cut it; the owner is read when
    // another file may have taken the known one's place.
    const ACCESS_MASK access =
        FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES | READ_CONTROL | (rules.Empty ? FILE_WRITE_DATA : 0);
    m_Problem.clear();
    ULONG_PTR information = 0;
    // Never created empty by the open itself: that would cut whatever a
    // planted link leads to before any check could run.
    m_Status = OpenRelative(directory, name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                            FILE_NON_DIRECTORY_FILE, rules.Common ? rules.CommonSecurity : nullptr, m_Handle,
                            &information);
    if (m_Status < 0) {
        m_Problem = OpenProblem(m_Status);
        return NotOpened;
    }
    m_Problem = CheckHandle(rules, information == FILE_CREATED);
    if (!m_Problem.empty()) {
        m_Handle.reset();
        // Another user's private log without TP_APPEND: its content would be
        // emptied anyway, so a file of the trace's own takes its place. A
        // common file may hold other programs' lines: it is left alone.
        if (mayReplace && m_Problem.rfind(L"owner ", 0) == 0 && DeleteEntry(directory, name))
            return OpenChecked(directory, name, rules, false);
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
    m_Status = OpenRelative(directory, name, FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                            nullptr, m_Handle);
    // A missing file is created by the sink, with a descriptor of its own.
    if (m_Status == kStatusObjectNameNotFound) return Opened;
    if (m_Status < 0) {
        m_Problem = OpenProblem(m_Status);
        return NotOpened;
    }
    m_Problem = CheckHandle(rules, false);
    m_Handle.reset();
    if (m_Problem.empty()) return Opened;
    // A private file of another owner is replaced without TP_APPEND.
    return !rules.Common && !rules.Append && m_Problem.rfind(L"owner ", 0) == 0 ? Opened : Refused;
}

std::wstring CTraceFile::CheckHandle(const LogFileRules& rules, bool created) {
    // On the handle, never the name: a reparse point (a link that the open
    // did not follow) or a second link would lead elsewhere.
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(m_Handle.get(), FileAttributeTagInfo, &tag, sizeof(tag)))
        return WithError(L"attributes not readable", ::GetLastError());
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"a reparse point";
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(m_Handle.get(), FileStandardInfo, &standard, sizeof(standard)))
        return WithError(L"links not readable", ::GetLastError());
    if (standard.NumberOfLinks != 1) return std::to_wstring(standard.NumberOfLinks) + L" links";
    m_Size = static_cast<ULONGLONG>(standard.EndOfFile.QuadPart);
    std::wstring owner = CheckOwner(rules, created);
    if (!owner.empty() && rules.Common) owner += L": another's common file, which may hold other programs' lines";
    return owner;
}

std::wstring CTraceFile::CheckOwner(const LogFileRules& rules, bool created) const {
    LONGLONG index = 0;
    if (!FileIndex(m_Handle.get(), index)) return L"index not readable";
    if (created || (rules.KnownIndex && index == rules.KnownIndex->load())) {
        if (rules.KnownIndex) rules.KnownIndex->store(index);
        return {};
    }
    ObjectSecurity security;
    const DWORD error = ReadSecurity(m_Handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, security);
    if (error != ERROR_SUCCESS) return WithError(L"owner not readable", error);
    std::wstring reason = JudgeLogFileOwner(security.Owner, rules.Self);
    if (reason.empty() && rules.KnownIndex) rules.KnownIndex->store(index);
    return reason;
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
