#include "trace_tail.h"

#include <algorithm>
#include <optional>
#include <string>

#include "base/VqLogNames.h"
#include "base/VqLogRotation.h"
#include "base/VqOwners.h"
#include "base/VqTrace.h"
#include "console.h"
#include "diagproto.h"
#include "errortext.h"
#include "log_text.h"
#include "trace.h"

namespace diagctl {
namespace {

constexpr DWORD kFollowPollMs = 200;
// The most that is read, decoded and printed at once: a line of any length
// goes out in pieces of this size.
constexpr size_t kPieceBytes = 64 * 1024;

// Which file a name leads to now, and how long it is.
struct Seen {
    VqBase::FileIdentity Identity;
    ULONGLONG Size = 0;
};

// Opened for reading only and shared in every way, so that the service can
// write, empty, rotate or delete the file meanwhile.
VqBase::UniqueHandle OpenShared(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return VqBase::UniqueHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

std::optional<Seen> Look(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information))
        return std::nullopt;
    Seen seen;
    seen.Identity.Volume = information.dwVolumeSerialNumber;
    seen.Identity.Index = (ULONGLONG{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    seen.Size = (ULONGLONG{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    return seen;
}

bool Same(const VqBase::FileIdentity& a, const VqBase::FileIdentity& b) {
    return a.Volume == b.Volume && a.Index == b.Index;
}

ReadAt ReaderOf(HANDLE file) {
    return [file](ULONGLONG offset, char* buffer, size_t size) -> size_t {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        DWORD read = 0;
        if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
            !ReadFile(file, buffer, static_cast<DWORD>(size), &read, nullptr))
            return 0;
        return read;
    };
}

// At most kMarkBytes bytes before offset: the last bytes printed, which must
// still stand there; a file emptied and written again past the offset
// between two looks shows there.
constexpr size_t kMarkBytes = 64;
std::string MarkBefore(HANDLE file, ULONGLONG offset) {
    std::string mark(static_cast<size_t>(std::min<ULONGLONG>(offset, kMarkBytes)), '\0');
    mark.resize(ReaderOf(file)(offset - mark.size(), mark.data(), mark.size()));
    return mark;
}

// Prints the bytes from offset to end, a piece at a time; returns where it
// stopped (end, unless the file ended sooner).
ULONGLONG Print(HANDLE file, ULONGLONG offset, ULONGLONG end, LogTextDecoder& decoder) {
    const ReadAt read = ReaderOf(file);
    std::string piece(kPieceBytes, '\0');
    while (offset < end) {
        const size_t got = read(offset, piece.data(), static_cast<size_t>(std::min<ULONGLONG>(end - offset, kPieceBytes)));
        if (got == 0)
            break;
        Out(decoder.Decode(piece.data(), got));
        offset += got;
    }
    return offset;
}

ULONGLONG LastWrite(const WIN32_FIND_DATAW& found) {
    return (ULONGLONG{found.ftLastWriteTime.dwHighDateTime} << 32) | found.ftLastWriteTime.dwLowDateTime;
}

// The file to read: the configured log file, unless the service writes its
// lines to a file of its own beside it (a fallback file, when the log is
// locked, another's or cannot be rotated): then the fallback file written
// last after the log, which is said.
std::wstring FileToRead(const VqBase::TraceSettings& settings) {
    const std::wstring& path = settings.FilePath;
    const size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos)
        return path;
    const std::wstring directory = path.substr(0, cut + 1), name = path.substr(cut + 1);
    WIN32_FIND_DATAW found{};
    ULONGLONG newest = 0;
    const HANDLE log = FindFirstFileW(path.c_str(), &found);
    if (log != INVALID_HANDLE_VALUE) {
        newest = LastWrite(found);
        FindClose(log);
    }
    std::wstring chosen;
    const HANDLE search = FindFirstFileW((directory + VqBase::FallbackFilePattern(name)).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return path;
    do {
        // Plain files of the sink's own naming only: anyone may add entries
        // to a log directory.
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
            VqBase::IsFallbackFileName(name, found.cFileName) && LastWrite(found) > newest) {
            newest = LastWrite(found);
            chosen = directory + found.cFileName;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    if (chosen.empty())
        return path;
    Err(L"diagctl: the service writes its lines to the fallback file " + chosen + L", not to " + path +
        L" (docs/TRACE.md: the service could not write the log; its event log says why)\n");
    return chosen;
}

// Follows path: prints whole lines as they are added, starts again from the
// beginning of a file that was emptied or that another file replaced, and
// first finishes the old one when it was rotated to NAME.1.
[[noreturn]] void Follow(const std::wstring& path, std::optional<Seen> last, ULONGLONG offset, std::string mark) {
    LogTextDecoder decoder;
    for (;;) {
        Sleep(kFollowPollMs);
        const VqBase::UniqueHandle file = OpenShared(path);
        const std::optional<Seen> now = file ? Look(file.get()) : std::nullopt;
        if (!now)
            continue;
        const bool replaced = last && !Same(last->Identity, now->Identity);
        if (replaced) {
            const VqBase::UniqueHandle rotated = OpenShared(VqBase::RotatedName(path));
            const std::optional<Seen> old = rotated ? Look(rotated.get()) : std::nullopt;
            if (old && Same(old->Identity, last->Identity))
                Print(rotated.get(), offset, old->Size, decoder);
            Out(decoder.Finish());
        }
        if (!last || replaced || now->Size < offset || MarkBefore(file.get(), offset) != mark) {
            Out(decoder.Finish());
            offset = 0;
        }
        offset = Print(file.get(), offset, EndOfWholeLines(ReaderOf(file.get()), offset, now->Size), decoder);
        mark = MarkBefore(file.get(), offset);
        last = now;
    }
}

}  // namespace

ULONGLONG StartOfLastLines(const ReadAt& read, ULONGLONG size, ULONGLONG count) {
    if (count == 0)
        return size;
    char last = 0;
    ULONGLONG position = size;
    if (size > 0 && read(size - 1, &last, 1) == 1 && last == '\n')
        --position;
    std::string piece(kPieceBytes, '\0');
    ULONGLONG found = 0;
    while (position > 0) {
        const ULONGLONG from = position > kPieceBytes ? position - kPieceBytes : 0;
        const size_t length = static_cast<size_t>(position - from);
        if (read(from, piece.data(), length) != length)
            return from;  // the file shrank meanwhile: what is left is printed
        for (size_t i = length; i-- > 0;)
            if (piece[i] == '\n' && ++found == count)
                return from + i + 1;
        position = from;
    }
    return 0;
}

ULONGLONG EndOfWholeLines(const ReadAt& read, ULONGLONG offset, ULONGLONG size) {
    std::string piece(kPieceBytes, '\0');
    for (ULONGLONG position = size; position > offset;) {
        const ULONGLONG from = std::max(offset, position > kPieceBytes ? position - kPieceBytes : 0);
        const size_t length = read(from, piece.data(), static_cast<size_t>(position - from));
        for (size_t i = length; i-- > 0;)
            if (piece[i] == '\n')
                return from + i + 1;
        // A line a piece long is printed as it comes, so that none has to be
        // held in memory whole.
        if (size - from >= kPieceBytes)
            return size;
        position = from;
    }
    return offset;
}

int RunTraceTail(DWORD count, bool follow) {
    const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    if (!settings.TraceKeyFound) {
        Out(NotTracedSentence());
        return diagproto::kExitSuccess;
    }
    const std::wstring path = FileToRead(settings);
    Err(L"diagctl: " + std::wstring(follow ? L"following " : L"reading ") + path + L"\n");
    std::optional<Seen> seen;
    ULONGLONG offset = 0;
    std::string mark;
    {
        const VqBase::UniqueHandle file = OpenShared(path);
        if (!file && !follow)
            return ReportFailure(L"CreateFile of \"" + path + L"\"", GetLastError());
        if (file && (seen = Look(file.get()))) {
            LogTextDecoder decoder;
            const ULONGLONG start = StartOfLastLines(ReaderOf(file.get()), seen->Size, count);
            offset = Print(file.get(), start, seen->Size, decoder);
            Out(decoder.Finish());
            mark = MarkBefore(file.get(), offset);
        }
    }
    if (follow)
        Follow(path, seen, offset, mark);
    return diagproto::kExitSuccess;
}

}  // namespace diagctl
