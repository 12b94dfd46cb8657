// The directory chain of a log file: the path taken apart, the walk through
// handles from the volume root, and the directories it creates.
#include "base/VqLogDirectory.h"

#include <algorithm>
#include <cwctype>
#include <string_view>

#include "base/VqAccessList.h"
#include "base/VqLogSecurity.h"
#include "base/VqTraceConstants.h"

namespace VqBase {

namespace {

// ntstatus.h cannot be included beside windows.h without redefinitions.
constexpr LONG kStatusObjectNameInvalid = static_cast<LONG>(0xC0000033);
constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG kStatusObjectNameCollision = static_cast<LONG>(0xC0000035);

// What the walk needs of a directory: to open below it and to judge it.
constexpr ACCESS_MASK kDirectoryAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
// Others may rename or delete a directory the chain holds (the judgement
// lets only trusted accounts do so), so holding it blocks nobody.
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;


std::wstring Join(const std::wstring& parent, const std::wstring& name) {
    return !parent.empty() && parent.back() == L'\\' ? parent + name : parent + L"\\" + name;
}

// The system drops trailing dots and blanks from a path's last component:
// doing so for every component makes "Logs. \x" and "Logs\x" one path.
std::wstring Trimmed(std::wstring_view name) {
    const size_t last = name.find_last_not_of(L". ");
    return last == std::wstring_view::npos ? std::wstring() : std::wstring(name.substr(0, last + 1));
}

bool IsValidName(const std::wstring& name) {
    return std::none_of(name.begin(), name.end(),
                        [](wchar_t c) { return c < 0x20 || std::wcschr(L"<>:\"/\\|?*", c) != nullptr; });
}


// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, with or without an
// extension, name devices in every directory.
bool IsDeviceName(const std::wstring& name) {
    std::wstring stem = name.substr(0, name.find(L'.'));
    for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(c));
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (stem == device) return true;
    return stem.size() == 4 && (stem.rfind(L"COM", 0) == 0 || stem.rfind(L"LPT", 0) == 0) && stem[3] >= L'1' &&
           stem[3] <= L'9';
}

// Why a path that SplitLogPath refuses for its form is no full path.
std::wstring FormProblem(const std::wstring& given) {
    const bool driveLetter = given.size() >= 2 && std::iswalpha(given[0]) && given[1] == L':';
    if (driveLetter) return L"a drive-relative path (no backslash after \"" + given.substr(0, 2) + L"\")";
    if (given.rfind(L"\\\\", 0) == 0)
        return given.size() > 2 && std::wcschr(L".?", given[2]) ? L"a device path" : L"a network path without a share";
    if (!given.empty() && given[0] == L'\\') return L"a rooted path without a drive";
    return L"a relative path";
}

// True when name is the short (8.3) name of the entry that final names, in
// the directory at parent: a configured short name reaches the long one.
bool IsShortNameOf(const std::wstring& parent, const std::wstring& name, const std::wstring& final) {
    const size_t cut = final.rfind(L'\\');
    if (cut == std::wstring::npos) return false;
    const std::wstring longName = final.substr(cut + 1);
    if (!SamePath(Join(parent, longName), final)) return false;
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(Join(parent, name).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    ::FindClose(search);
    return SamePath(found.cFileName, longName) && SamePath(found.cAlternateFileName, name);
}

}  // namespace

std::wstring WithError(const std::wstring& what, DWORD error) {
    return what + L": E(" + HexText(error) + L")";
}

std::wstring WithoutLongPrefix(std::wstring path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + path.substr(7);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

bool SamePath(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool FinalPath(HANDLE handle, std::wstring& path) {
    // Room for the longest path the system has, so that a path that the
    // configuration allows never fails here for the buffer's sake.
    std::wstring final(kLongestPathChars, L'\0');
    const DWORD length = ::GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= final.size()) return false;
    final.resize(length);
    path = WithoutLongPrefix(std::move(final));
    return true;
}

std::optional<size_t> NetworkRootEnd(std::wstring_view path) {
    const size_t serverEnd = path.find(L'\\', 2);
    const size_t shareEnd = serverEnd == std::wstring_view::npos ? serverEnd : path.find(L'\\', serverEnd + 1);
    if (shareEnd == std::wstring_view::npos || serverEnd == 2 || shareEnd == serverEnd + 1) return std::nullopt;
    return shareEnd + 1;
}

std::optional<LogPathParts> SplitLogPath(const wchar_t* path, std::wstring* problem) {
    std::wstring ignored;
    std::wstring& why = problem ? *problem : ignored;
    why.clear();
    if (path == nullptr || *path == L'\0') {
        why = L"an empty path";
        return std::nullopt;
    }
    std::wstring given(path);
    if (given.size() >= kTracePathChars) {
        why = L"a path of " + std::to_wstring(kTracePathChars) + L" characters or more";
        return std::nullopt;
    }
    std::replace(given.begin(), given.end(), L'/', L'\\');
    given = WithoutLongPrefix(given);
    // Only absolute paths: a relative one would depend on the working
    // directory, which for a service is the system's.
    const bool drive = given.size() >= 3 && std::iswalpha(given[0]) && given[1] == L':' && given[2] == L'\\';
    const bool network = given.size() > 2 && given[0] == L'\\' && given[1] == L'\\' &&
                         std::wcschr(L"\\.?", given[2]) == nullptr;
    if (!drive && !network) {
        why = FormProblem(given);
        return std::nullopt;
    }
    wchar_t full[kTracePathChars] = {};
    const DWORD length = ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(kTracePathChars), full, nullptr);
    if (length == 0 || length >= kTracePathChars) {
        why = length == 0 ? WithError(L"not a valid path", ::GetLastError())
                          : L"a full path of " + std::to_wstring(kTracePathChars) + L" characters or more";
        return std::nullopt;
    }
    std::wstring_view rest(full, length);
    // The system makes C:\Logs\CON the device \\.\CON.
    if (rest.rfind(L"\\\\.\\", 0) == 0) {
        why = L"\"" + std::wstring(rest.substr(4)) + L"\" names a device, not a file";
        return std::nullopt;
    }

    size_t rootEnd = 3;
    if (network) {
        const std::optional<size_t> shareEnd = NetworkRootEnd(rest);
        if (!shareEnd) {
            why = L"a network path without a share";
            return std::nullopt;
        }
        rootEnd = *shareEnd;
    }
    LogPathParts parts;
    parts.Root = std::wstring(rest.substr(0, rootEnd));
    rest.remove_prefix(rootEnd);
    for (;;) {
        const size_t end = rest.find(L'\\');
        const std::wstring_view piece = rest.substr(0, end);
        const std::wstring name = Trimmed(piece);
        if (!IsValidName(name) || (name.empty() && !piece.empty())) {
            why = L"\"" + std::wstring(piece) + L"\" is no valid file or directory name";
            return std::nullopt;
        }
        if (IsDeviceName(name)) {
            why = L"\"" + name + L"\" names a device, not a file or directory";
            return std::nullopt;
        }
        if (end == std::wstring_view::npos) {
            parts.File = name;
            return parts;
        }
        if (!name.empty()) parts.Directories.push_back(name);
        rest.remove_prefix(end + 1);
    }
}

LONG OpenRelative(HANDLE directory, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, PSECURITY_DESCRIPTOR security, UniqueHandle& handle, ULONG_PTR* information) {
    handle.reset();
    if (information) *information = 0;
    if (name.empty() || name.size() > 0x7FFF / sizeof(wchar_t)) return kStatusObjectNameInvalid;
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, directory, security);
    IO_STATUS_BLOCK io{};
    HANDLE opened = nullptr;
    const NTSTATUS status =
        ::NtCreateFile(&opened, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                       disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (status >= 0) {
        handle.reset(opened);
        if (information) *information = io.Information;
    }
    return status;
}

DWORD StatusToError(LONG status) { return ::RtlNtStatusToDosError(status); }

CLogDirectory::Result CLogDirectory::Walk(const LogPathParts& parts, const std::vector<BYTE>& self, WalkMode mode) {
    m_Handle.reset();
    m_Path.clear();
    m_Problem.clear();
    m_Missing.clear();
    const HANDLE root = ::CreateFileW(parts.Root.c_str(), kDirectoryAccess, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (root == INVALID_HANDLE_VALUE) {
        m_Problem = WithError(L"cannot open the root \"" + parts.Root + L"\"", ::GetLastError());
        return NotOpened;
    }
    UniqueHandle current(root);
    // The walk goes on from where the root really is (a substituted drive
    // names another directory).
    std::wstring path;
    if (!FinalPath(root, path)) {
        m_Problem = WithError(L"final path of \"" + parts.Root + L"\" not readable", ::GetLastError());
        return NotOpened;
    }
    // The directories this walk made, removed again when the chain is not
    // held in the end: nothing is left behind that the trace then refuses.
    std::vector<UniqueHandle> created;
    auto undo = [&](Result result) {
        current.reset();
        for (auto made = created.rbegin(); made != created.rend(); ++made) {
            FILE_DISPOSITION_INFO disposition{TRUE};
            ::SetFileInformationByHandle(made->get(), FileDispositionInfo, &disposition, sizeof(disposition));
            made->reset();
        }
        return result;
    };
    for (const std::wstring& name : parts.Directories) {
        UniqueHandle next;
        LONG status = OpenRelative(current.get(), name, kDirectoryAccess, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE,
                                   nullptr, next);
        bool made = false;
        if (status == kStatusObjectNameNotFound && mode == WalkMode::Judge) {
            // What the trace would create below a trusted directory, it
            // creates with a descriptor it trusts.
            m_Missing = Join(path, name);
            m_Handle = std::move(current);
            m_Path = path;
            return Held;
        }
        if (status == kStatusObjectNameNotFound) {
            // Made relative to the held parent: nothing can be swapped in
            // between the parent's check and this create.
            const std::unique_ptr<void, HeapFreer> security(BuildDirectorySecurity());
            status = OpenRelative(current.get(), name, kDirectoryAccess | DELETE, kShareAll, FILE_CREATE,
                                  FILE_DIRECTORY_FILE, security.get(), next);
            made = status >= 0;
            if (status == kStatusObjectNameCollision)
                status = OpenRelative(current.get(), name, kDirectoryAccess, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE,
                                      nullptr, next);
        }
        if (status < 0) {
            m_Problem = WithError(L"cannot create the directories: \"" + Join(path, name) + L"\"", StatusToError(status));
            return undo(NotOpened);
        }
        HANDLE keep = nullptr;
        if (made && ::DuplicateHandle(::GetCurrentProcess(), next.get(), ::GetCurrentProcess(), &keep, 0, FALSE,
                                      DUPLICATE_SAME_ACCESS))
            created.emplace_back(keep);
        std::wstring final;
        const std::wstring reason = Check(next.get(), path, name, self, final);
        if (!reason.empty()) {
            m_Problem = L"directory \"" + Join(path, name) + L"\": " + reason;
            next.reset();
            return undo(Refused);
        }
        current = std::move(next);
        path = final;
    }
    m_Handle = std::move(current);
    m_Path = path;
    return Held;
}

std::wstring CLogDirectory::Check(HANDLE directory, const std::wstring& parent, const std::wstring& name,
                                  const std::vector<BYTE>& self, std::wstring& final) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &tag, sizeof(tag)))
        return WithError(L"attributes not readable", ::GetLastError());
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"a reparse point";
    if (!(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return L"not a directory";
    // Some systems (Wine among them) follow a link even when asked not to:
    // there the final path is what shows the redirect.
    if (!FinalPath(directory, final)) return WithError(L"final path not readable", ::GetLastError());
    if (!SamePath(final, Join(parent, name)) && !IsShortNameOf(parent, name, final))
        return L"redirected to \"" + final + L"\"";
    ObjectSecurity security;
    const DWORD error =
        ReadSecurity(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, security);
    if (error != ERROR_SUCCESS) return WithError(L"security not readable", error);
    return JudgeLogDirectory(security.Owner, security.Dacl, self.empty() ? nullptr : self.data());
}

bool CreatePath(const wchar_t* path) {
    const std::optional<LogPathParts> parts = SplitLogPath(path);
    if (!parts) return false;
    CLogDirectory directory;
    return directory.Walk(*parts, ProcessUserSid()) == CLogDirectory::Held;
}

}  // namespace VqBase
