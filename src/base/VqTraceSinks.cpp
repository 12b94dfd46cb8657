// The trace's sinks that keep state or open something: the log file and the
// console.
#include "base/VqTrace.h"
#include "base/VqTracePath.h"
#include "base/VqTraceRecord.h"

namespace VqBase {

CTraceFile::~CTraceFile() {
    if (IsOpen()) ::CloseHandle(m_Handle);
}

bool CTraceFile::Open(const wchar_t* path, bool common, bool append) {
    // Append access only: every write lands at the end of the file, also when
    // other threads and processes write the same file.
    auto open = [&] {
        return ::CreateFileW(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             (common || append) ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    if (IsOpen()) ::CloseHandle(m_Handle);
    m_Handle = open();
    if (!IsOpen() && CreatePath(path)) m_Handle = open();
    return IsOpen();
}

void CTraceFile::Write(const void* bytes, size_t size) const {
    DWORD written = 0;
    ::WriteFile(m_Handle, bytes, static_cast<DWORD>(size), &written, nullptr);
}

namespace {
SRWLOCK g_FileWriteLock = SRWLOCK_INIT;
// A writer that died with the mutex must not stop the others for good.
constexpr DWORD kMutexWait = 5000;
}  // namespace

CFileWriteGuard::CFileWriteGuard(HANDLE mutex) : m_Mutex(mutex) {
    ::AcquireSRWLockExclusive(&g_FileWriteLock);
    if (m_Mutex) {
        const DWORD wait = ::WaitForSingleObject(m_Mutex, kMutexWait);
        m_Owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
}

CFileWriteGuard::~CFileWriteGuard() {
    if (m_Owned) ::ReleaseMutex(m_Mutex);
    ::ReleaseSRWLockExclusive(&g_FileWriteLock);
}

HANDLE CreateFileMutex(const std::wstring& path) {
    // Object names cannot hold the path itself: a hash of its upper-case
    // form names the file.
    std::wstring upper = path;
    if (!upper.empty())
        ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, path.data(), static_cast<int>(path.size()), upper.data(),
                       static_cast<int>(upper.size()));
    unsigned long long hash = 14695981039346656037ull;
    for (wchar_t c : upper) hash = (hash ^ static_cast<unsigned>(c)) * 1099511628211ull;
    wchar_t name[64];
    for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
        _snwprintf(name, 63, L"%sVqTraceFile-%016llX", space, hash);
        name[63] = L'\0';
        if (HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name)) return mutex;
    }
    return nullptr;
}

void CTraceImpl::StartFile() {
    const bool common = m_Config.m_CommonFileFlag.load() != 0;
    const bool append = (m_Config.m_ParamsMask.load() & TP_APPEND) != 0;
    CTraceFile file;
    if (file.Open(m_Config.m_FilePath.c_str(), common, append) && !common && append)
        file.Write(kSeparator, sizeof(kSeparator) - 1);
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
