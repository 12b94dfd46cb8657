#include "collect.h"

#include <sddl.h>

#include <algorithm>
#include <memory>

#include "base/VqLogRotation.h"
#include "base/VqLogSecurity.h"
#include "base/VqOwners.h"
#include "base/VqTrace.h"
#include "console.h"
#include "diagproto.h"
#include "errortext.h"
#include "eventlog.h"
#include "installed.h"
#include "paths.h"
#include "scm.h"
#include "trace.h"
#include "trace_check.h"
#include "usage.h"

namespace diagctl {
namespace {

// The newest entries of the service; a storm of them is counted at its end.
constexpr size_t kEventLimit = 1000;

// One line of the summary: what the piece is, and what became of it.
struct Piece {
    std::wstring Name;
    std::wstring Outcome;
    bool Failed = false;
};

// Holds the new directory open without sharing delete, so that it can be
// neither renamed nor replaced while it is written (Windows refuses to
// rename a directory in which a handle is open), and writes files in it.
class Collection {
public:
    explicit Collection(std::wstring directory) : m_Directory(std::move(directory)) {}

    // Creates the directory; false with the reason in the last error (183
    // when it exists: a directory that others may have filled is never used).
    bool Create() {
        const std::vector<BYTE> security = CollectionSecurity();
        if (security.empty())
            return false;
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), const_cast<BYTE*>(security.data()), FALSE};
        if (!CreateDirectoryW(m_Directory.c_str(), &attributes))
            return false;
        m_Held.reset(CreateFileW(m_Directory.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        return m_Held.get() != INVALID_HANDLE_VALUE;
    }

    // A new file of the collection; 0 or the error of the failed call.
    DWORD Write(const std::wstring& name, const std::string& bytes) const {
        VqBase::UniqueHandle file(CreateFileW((m_Directory + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE)
            return GetLastError();
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
            return GetLastError();
        return ERROR_SUCCESS;
    }

    // Text as a Windows text file: UTF-8, CR LF.
    DWORD WriteText(const std::wstring& name, const std::wstring& text) const {
        std::wstring crlf;
        for (const wchar_t c : text)
            crlf += c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, c);
        return Write(name, Utf8(crlf));
    }

    const std::wstring& Directory() const { return m_Directory; }

private:
    std::wstring m_Directory;
    VqBase::UniqueHandle m_Held;
};

// The whole file, read while the service may still write it (every sharing
// allowed); a link or a directory under a log's name is not followed: a
// user may plant one in the log directory, and diagctl reads as an
// administrator.
DWORD ReadLogFile(const std::wstring& path, std::string& bytes) {
    VqBase::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return GetLastError();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info))
        return GetLastError();
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1)
        return ERROR_CANT_ACCESS_FILE;
    char chunk[64 * 1024];
    for (DWORD read = 0; ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read != 0;)
        bytes.append(chunk, read);
    return ERROR_SUCCESS;
}

std::wstring Failure(DWORD error) { return L"not collected: " + DescribeError(error); }

// The log file, NAME.1 and every other file of the log directory whose name
// begins with the log's own without its extension (the fallback files the
// service writes when it cannot write its log).
void CollectLogs(const Collection& collection, const VqBase::TraceSettings& settings, std::vector<Piece>& pieces) {
    const std::wstring directory = settings.FilePath.substr(0, settings.FilePath.find_last_of(L'\\') + 1);
    const std::wstring name = FileNameOf(settings.FilePath);
    const std::wstring stem = name.substr(0, name.find_last_of(L'.'));
    std::vector<std::wstring> names{name, FileNameOf(VqBase::RotatedName(settings.FilePath))};
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((directory + stem + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            if (std::find_if(names.begin(), names.end(), [&](const std::wstring& known) {
                    return SameName(known, found.cFileName);
                }) == names.end())
                names.push_back(found.cFileName);
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    for (const std::wstring& file : names) {
        Piece piece{L"log " + directory + file, {}};
        std::string bytes;
        DWORD error = ReadLogFile(directory + file, bytes);
        if (error == ERROR_SUCCESS)
            error = collection.Write(file, bytes);
        piece.Failed = error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        if (error == ERROR_SUCCESS)
            piece.Outcome = L"collected as " + file + L" (" + std::to_wstring(bytes.size()) + L" bytes)";
        else if (!piece.Failed)
            piece.Outcome = L"not there (nothing to collect)";
        else if (error == ERROR_CANT_ACCESS_FILE)
            piece.Outcome = L"not collected: a link or a directory, not followed";
        else
            piece.Outcome = Failure(error);
        pieces.push_back(piece);
    }
}

// A piece written as text and as JSON.
void CollectReport(const Collection& collection, const std::wstring& name, const std::wstring& text,
                   const std::wstring& json, std::vector<Piece>& pieces) {
    Piece piece{name, {}};
    const DWORD error = collection.WriteText(name + L".txt", text);
    const DWORD jsonError = error == ERROR_SUCCESS ? collection.Write(name + L".json", Utf8(json + L"\n"))
                                                   : error;
    piece.Failed = jsonError != ERROR_SUCCESS;
    piece.Outcome = piece.Failed ? Failure(jsonError) : L"collected as " + name + L".txt and " + name + L".json";
    pieces.push_back(piece);
}

void CollectEvents(const Collection& collection, std::vector<Piece>& pieces) {
    Piece piece{L"events", {}};
    const ServiceEvents events = ReadServiceEvents(kEventLimit);
    std::wstring text = events.Text;
    if (!events.Kept)
        text = L"The event log keeps no entries on this platform (Wine): the service's entries go to the debug "
               L"output of its process only (TESTING.md, \"No event log\").\n";
    else if (events.Error != ERROR_SUCCESS)
        text += L"The Application log could not be read further: " + DescribeError(events.Error) + L"\n";
    else if (events.Count == 0)
        text = L"The Application log holds no entry of the source " + std::wstring(kServiceName) + L".\n";
    const DWORD error = collection.WriteText(L"events.txt", text);
    piece.Failed = error != ERROR_SUCCESS || events.Error != ERROR_SUCCESS;
    piece.Outcome = error != ERROR_SUCCESS ? Failure(error)
                    : !events.Kept ? L"collected as events.txt: not kept on this platform, said so"
                    : events.Error != ERROR_SUCCESS
                        ? L"collected as events.txt in part (" + std::to_wstring(events.Count) + L" entries): " +
                              DescribeError(events.Error)
                        : L"collected as events.txt (" + std::to_wstring(events.Count) + L" entries)";
    pieces.push_back(piece);
}

}  // namespace

std::vector<BYTE> CollectionSecurity() {
    PSID system = nullptr, administrators = nullptr;
    ConvertStringSidToSidW(L"S-1-5-18", &system);
    ConvertStringSidToSidW(L"S-1-5-32-544", &administrators);
    const std::unique_ptr<void, VqBase::LocalFreer> ownSystem(system), ownAdministrators(administrators);
    if (system == nullptr || administrators == nullptr)
        return {};
    const VqBase::AccessEntry entries[] = {{system, FILE_ALL_ACCESS}, {administrators, FILE_ALL_ACCESS}};
    PSECURITY_DESCRIPTOR built = nullptr;
    if (const DWORD error = VqBase::BuildSecurityDescriptor(2, entries, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                                            administrators, nullptr, &built);
        error != ERROR_SUCCESS) {
        SetLastError(error);
        return {};
    }
    const std::unique_ptr<void, VqBase::HeapFreer> owned(built);
    const auto* bytes = static_cast<const BYTE*>(built);
    return std::vector<BYTE>(bytes, bytes + GetSecurityDescriptorLength(built));
}

int RunCollect(const CommandLine& line, const std::wstring& ownVersion) {
    if (line.Arguments.size() != 1 || line.Arguments[0].empty())
        return UsageError(line.Verb, L"collect needs one DIR, a directory that does not exist yet");
    std::wstring directory;
    if (!AbsolutePath(line.Arguments[0], directory))
        return ReportFailure(L"finding the full path of \"" + line.Arguments[0] + L"\"", GetLastError());
    while (directory.size() > 3 && (directory.back() == L'\\' || directory.back() == L'/'))
        directory.pop_back();
    Collection collection(directory);
    if (!collection.Create()) {
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS)
            Err(L"diagctl: \"" + directory + L"\" exists already: collect makes a new directory, so that nothing "
                                             L"that others put there passes for collected; name one that does "
                                             L"not exist\n");
        return ReportFailure(L"creating \"" + directory + L"\"", error);
    }

    std::vector<Piece> pieces;
    const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    CollectLogs(collection, settings, pieces);
    CollectReport(collection, L"trace-show", DescribeTraceSettings(settings), TraceSettingsJson(settings).Text(),
                  pieces);
    const TraceCheck check = CheckTrace();
    CollectReport(collection, L"trace-check", check.Text, check.Json.Text(), pieces);
    const StatusReport status = ReadStatus();
    CollectReport(collection, L"status", status.Text, status.Json.Text(), pieces);
    const InstalledVersions installed = ReadInstalledVersions();
    CollectReport(collection, L"versions", VersionsText(ownVersion, installed),
                  VersionsJson(ownVersion, installed).Text(), pieces);
    CollectEvents(collection, pieces);

    std::wstring summary = L"collected into " + directory + L" by diagctl " + ownVersion + L":\n";
    bool failed = false;
    for (const Piece& piece : pieces) {
        summary += L"  " + piece.Name + L": " + piece.Outcome + L"\n";
        failed = failed || piece.Failed;
    }
    summary += failed ? L"some pieces could not be collected: see above\n" : L"every piece was collected\n";
    if (const DWORD error = collection.WriteText(L"summary.txt", summary); error != ERROR_SUCCESS) {
        summary += L"summary.txt: " + Failure(error) + L"\n";
        failed = true;
    }
    Out(summary);
    return failed ? diagproto::kExitCollectIncomplete : diagproto::kExitSuccess;
}

}  // namespace diagctl
