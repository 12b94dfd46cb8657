#include "trace_tail.h"

#include <optional>

#include "base/VqLogRotation.h"
#include "base/VqOwners.h"
#include "base/VqTrace.h"
#include "console.h"
#include "diagproto.h"
#include "errortext.h"

namespace diagctl {
namespace {

constexpr DWORD kFollowPollMs = 200;

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

// The bytes from offset to the end as the file is now.
std::string ReadFrom(HANDLE file, ULONGLONG offset, ULONGLONG end) {
    std::string bytes;
    if (end <= offset)
        return bytes;
    bytes.resize(static_cast<size_t>(end - offset));
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD read = 0;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
        !ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        read = 0;
    bytes.resize(read);
    return bytes;
}

// Prints the whole lines of pending and keeps the rest for later.
void PrintWhole(std::string& pending) {
    const size_t end = pending.rfind('\n');
    if (end == std::string::npos)
        return;
    Out(FromLogCodePage(LastLines(pending.substr(0, end + 1), static_cast<size_t>(-1))));
    pending.erase(0, end + 1);
}

// The last bytes read, which must still stand before the offset: a file
// emptied and written again past the offset between two looks shows there.
constexpr size_t kMarkBytes = 64;

// Follows path: reads what is added, starts again from the beginning of a
// file that was emptied or that another file replaced, and first finishes
// the old one when it was rotated to NAME.1.
[[noreturn]] void Follow(const std::wstring& path, std::optional<Seen> last, std::string mark) {
    std::string pending;
    ULONGLONG offset = last ? last->Size : 0;
    for (;;) {
        Sleep(kFollowPollMs);
        const VqBase::UniqueHandle file = OpenShared(path);
        const std::optional<Seen> now = file ? Look(file.get()) : std::nullopt;
        if (!now)
            continue;
        if (last && !Same(last->Identity, now->Identity)) {
            const VqBase::UniqueHandle rotated = OpenShared(VqBase::RotatedName(path));
            const std::optional<Seen> old = rotated ? Look(rotated.get()) : std::nullopt;
            if (old && Same(old->Identity, last->Identity))
                pending += ReadFrom(rotated.get(), offset, old->Size);
            PrintWhole(pending);
        }
        if (!last || !Same(last->Identity, now->Identity) || now->Size < offset ||
            ReadFrom(file.get(), offset - mark.size(), offset) != mark) {
            pending.clear();
            offset = 0;
        }
        const std::string added = ReadFrom(file.get(), offset, now->Size);
        offset += added.size();
        pending += added;
        mark = ReadFrom(file.get(), offset > kMarkBytes ? offset - kMarkBytes : 0, offset);
        PrintWhole(pending);
        last = now;
    }
}

}  // namespace

std::vector<std::string> LastLines(const std::string& bytes, size_t count) {
    std::vector<std::string> lines;
    size_t end = bytes.size();
    if (end != 0 && bytes[end - 1] == '\n')
        --end;
    while (lines.size() < count && end != 0) {
        const size_t start = bytes.rfind('\n', end - 1);
        const size_t from = start == std::string::npos ? 0 : start + 1;
        std::string line = bytes.substr(from, end - from);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.insert(lines.begin(), std::move(line));
        if (start == std::string::npos)
            break;
        end = start;
    }
    return lines;
}

std::wstring FromLogCodePage(const std::vector<std::string>& lines) {
    std::wstring text;
    for (const std::string& line : lines) {
        if (!line.empty()) {
            const int length = static_cast<int>(line.size());
            std::wstring wide(line.size(), L'\0');
            const int chars = MultiByteToWideChar(1251, 0, line.data(), length, wide.data(), length);
            wide.resize(chars > 0 ? static_cast<size_t>(chars) : 0);
            text += wide;
        }
        text += L'\n';
    }
    return text;
}

int RunTraceTail(DWORD count, bool follow) {
    const VqBase::TraceSettings settings = VqBase::ReadTraceSettings(VqBase::kTraceName, {});
    const std::wstring& path = settings.FilePath;
    std::optional<Seen> seen;
    std::string mark;
    {
        const VqBase::UniqueHandle file = OpenShared(path);
        if (!file && !follow)
            return ReportFailure(L"CreateFile of \"" + path + L"\"", GetLastError());
        if (file && (seen = Look(file.get()))) {
            // From the end back, until count lines are had or the file is.
            std::vector<std::string> lines;
            for (ULONGLONG window = ULONGLONG{count + 1} * 256;; window *= 2) {
                const ULONGLONG from = seen->Size > window ? seen->Size - window : 0;
                const std::string bytes = ReadFrom(file.get(), from, seen->Size);
                // One line more than asked: the first of a window that
                // starts inside the file may be cut.
                lines = LastLines(bytes, size_t{count} + 1);
                if (from == 0 || lines.size() > count) {
                    if (lines.size() > count)
                        lines.erase(lines.begin());
                    break;
                }
            }
            Out(FromLogCodePage(lines));
            mark = ReadFrom(file.get(), seen->Size > kMarkBytes ? seen->Size - kMarkBytes : 0, seen->Size);
        }
    }
    if (follow)
        Follow(path, seen, mark);
    return diagproto::kExitSuccess;
}

}  // namespace diagctl
