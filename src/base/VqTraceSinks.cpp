// The trace's sinks that keep state or open something: the log file and the
// console.
#include "base/VqTrace.h"
#include "base/VqTracePath.h"
#include "base/VqTraceRecord.h"

namespace VqBase {

namespace {

// "\\?\C:\x" and "\\?\UNC\server\x" as "C:\x" and "\\server\x".
std::wstring WithoutLongPrefix(std::wstring path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + path.substr(7);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring WithError(const wchar_t* what, DWORD error) {
    wchar_t code[16] = {};
    _snwprintf(code, 15, L"%08X", static_cast<unsigned>(error));
    return std::wstring(what) + L": E(" + code + L")";
}

}  // namespace

std::wstring ExpectedFinalPath(const wchar_t* path) {
    wchar_t full[kTracePathChars] = {};
    const DWORD fullLength = ::GetFullPathNameW(path, static_cast<DWORD>(kTracePathChars), full, nullptr);
    if (fullLength == 0 || fullLength >= kTracePathChars) return path;
    // Short (8.3) names in the configured path would never match the final
    // path, which the system reports with long names.
    wchar_t longPath[kTracePathChars] = {};
    const DWORD longLength = ::GetLongPathNameW(full, longPath, static_cast<DWORD>(kTracePathChars));
    if (longLength == 0 || longLength >= kTracePathChars) return WithoutLongPrefix(full);
    return WithoutLongPrefix(longPath);
}

CTraceFile::~CTraceFile() { Close(); }

void CTraceFile::Close() {
    if (IsOpen()) ::CloseHandle(m_Handle);
    m_Handle = INVALID_HANDLE_VALUE;
}

CTraceFile::Result CTraceFile::Open(const wchar_t* path, bool common, bool append, const std::wstring& expected) {
    // Append access only: every write lands at the end of the file, also when
    // other threads and processes write the same file. A file to be emptied
    // also needs write access, used only to cut it.
    const bool empty = !common && !append;
    const DWORD access = FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES | (empty ? FILE_WRITE_DATA : 0);
    auto open = [&] {
        // Never CREATE_ALWAYS: that would empty whatever a planted link
        // points to before any check could run.
        return ::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    Close();
    m_Problem.clear();
    m_Handle = open();
    if (!IsOpen()) {
        const DWORD error = ::GetLastError();
        if (!CreatePath(path)) {
            m_Problem = WithError(L"cannot create the directories", ::GetLastError());
            return NotOpened;
        }
        m_Handle = open();
        if (!IsOpen()) {
            m_Problem = WithError(L"cannot open", error == ERROR_PATH_NOT_FOUND ? ::GetLastError() : error);
            return NotOpened;
        }
    }
    m_Problem = Check(expected.empty() ? ExpectedFinalPath(path) : expected);
    if (!m_Problem.empty()) {
        Close();
        return Refused;
    }
    if (empty && !::SetEndOfFile(m_Handle)) {
        m_Problem = WithError(L"cannot empty", ::GetLastError());
        Close();
        return NotOpened;
    }
    return Opened;
}

std::wstring CTraceFile::Check(const std::wstring& expected) const {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(m_Handle, FileAttributeTagInfo, &tag, sizeof(tag)))
        return WithError(L"attributes not readable", ::GetLastError());
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"a reparse point";
    if (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return L"a directory";
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(m_Handle, FileStandardInfo, &standard, sizeof(standard)))
        return WithError(L"links not readable", ::GetLastError());
    if (standard.NumberOfLinks != 1) return std::to_wstring(standard.NumberOfLinks) + L" links";
    wchar_t final[kTracePathChars] = {};
    const DWORD length = ::GetFinalPathNameByHandleW(m_Handle, final, static_cast<DWORD>(kTracePathChars),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= kTracePathChars) return WithError(L"final path not readable", ::GetLastError());
    const std::wstring actual = WithoutLongPrefix(std::wstring(final, length));
    if (!SamePath(actual, expected)) return L"final path " + actual;
    return {};
}

void CTraceFile::Write(const void* bytes, size_t size) const {
    DWORD written = 0;
    ::WriteFile(m_Handle, bytes, static_cast<DWORD>(size), &written, nullptr);
}

namespace {
SRWLOCK g_FileWriteLock = SRWLOCK_INIT;
}  // namespace

CFileWriteGuard::CFileWriteGuard(HANDLE mutex, std::atomic<bool>& squatted) : m_Mutex(mutex) {
    ::AcquireSRWLockExclusive(&g_FileWriteLock);
    if (m_Mutex) {
        const DWORD wait = ::WaitForSingleObject(m_Mutex, squatted.load() ? 0 : kFileMutexWaitMs);
        m_Owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        if (m_Owned)
            squatted = false;
        else if (wait == WAIT_TIMEOUT)
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

HANDLE CreateFileMutex(const std::wstring& path, bool* local) {
    for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
        if (HANDLE mutex = ::CreateMutexW(nullptr, FALSE, FileMutexName(path, space).c_str())) return mutex;
        if (local) *local = true;
    }
    return nullptr;
}

void CTraceImpl::StartFile() {
    const bool common = m_Config.m_CommonFileFlag.load() != 0;
    const bool append = (m_Config.m_ParamsMask.load() & TP_APPEND) != 0;
    CTraceFile file;
    if (OpenFile(file, common, append) && !common && append) file.Write(kSeparator, sizeof(kSeparator) - 1);
}

void CTraceConsole::Open(const wchar_t* title) {
    if (!IsValid()) {
        // A process that has a console keeps it: AllocConsole then fails and
        // the records go to its standard output.
        if (::AllocConsole()) m_Allocated = true;
        m_hOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    }
    if (IsValid()) {
        DWORD mode = 0;
        m_IsConsole = ::GetConsoleMode(m_hOutput, &mode) != FALSE;
        ::SetConsoleTitleW(title);
    }
}

void CTraceConsole::Release() {
    if (m_Allocated) ::FreeConsole();
    m_Allocated = false;
    m_hOutput = nullptr;
    m_IsConsole = true;
}

void CTraceConsole::Write(const char* record, size_t size) const {
    if (!IsValid()) return;
    DWORD written = 0;
    if (m_IsConsole)
        ::WriteConsoleA(m_hOutput, record, static_cast<DWORD>(size), &written, nullptr);
    else
        ::WriteFile(m_hOutput, record, static_cast<DWORD>(size), &written, nullptr);
}

}  // namespace VqBase
