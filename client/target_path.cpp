#include "target_path.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "base/VqLogDirectory.h"

namespace diagctl {
namespace {

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kDevicePrefix[] = L"\\\\.\\";
constexpr size_t kPrefixLength = 4;
// What CreateFileW takes at most, \\?\ form included.
constexpr size_t kLongestPath = 32767;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.size() >= std::wcslen(prefix) && _wcsnicmp(text.c_str(), prefix, std::wcslen(prefix)) == 0;
}

bool IsDriveRoot(const std::wstring& text, size_t at) {
    return text.size() >= at + 3 && std::iswalpha(text[at]) && text[at + 1] == L':' &&
           (text[at + 2] == L'\\' || text[at + 2] == L'/');
}

// The device a name stands for in every directory, or empty: CON, PRN, AUX,
// NUL, COM1 to COM9 and LPT1 to LPT9 (also with superscript digits),
// CONIN$ and CONOUT$, with any extension, stream or trailing blanks.
std::wstring DeviceOf(const std::wstring& name) {
    std::wstring stem = name.substr(0, name.find_first_of(L".:"));
    stem.erase(stem.find_last_not_of(L" ") + 1);
    for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(c));
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (stem == device) return stem;
    const bool numbered = stem.size() == 4 && (stem.rfind(L"COM", 0) == 0 || stem.rfind(L"LPT", 0) == 0) &&
                          ((stem[3] >= L'1' && stem[3] <= L'9') || std::wcschr(L"\u00B9\u00B2\u00B3", stem[3]));
    return numbered ? stem : std::wstring();
}

// Why a name (a directory's or the file's) cannot be one, or empty.
std::wstring NameProblem(const std::wstring& name, bool literal) {
    if (name.empty()) return L"an empty name";
    if (const size_t colon = name.find(L':'); colon != std::wstring::npos)
        return L"\"" + name + L"\" names the stream \"" + name.substr(colon + 1) + L"\" of \"" + name.substr(0, colon) +
               L"\", not a file of its own";
    if (const auto bad = std::find_if(name.begin(), name.end(),
                                      [](wchar_t c) { return c < 0x20 || std::wcschr(L"<>\"/\\|?*", c) != nullptr; });
        bad != name.end())
        return L"\"" + name + L"\" holds a character no file name may hold (" +
               (*bad < 0x20 ? L"code " + std::to_wstring(static_cast<unsigned>(*bad)) : std::wstring(1, *bad)) + L")";
    if (name.size() > kLongestName)
        return L"a name of " + std::to_wstring(name.size()) + L" characters (at most " + std::to_wstring(kLongestName) +
               L")";
    // Outside a \\?\ path the system drops a last name's trailing dots and
    // blanks but not a directory's, so such a name could mean two things.
    if (name == L"." || name == L"..")
        return literal ? L"\"" + name + L"\" in a \\\\?\\ path, where it is taken literally" : std::wstring();
    if (name.back() == L'.' || name.back() == L' ')
        return L"\"" + name + L"\" ends in a dot or a blank, which the system may drop";
    return {};
}

}  // namespace

std::optional<TargetPath> ParseTargetPath(const std::wstring& given, std::wstring& why) {
    why.clear();
    if (given.empty()) {
        why = L"an empty path";
        return std::nullopt;
    }
    // A device name reaches the device in every directory; the system turns
    // the path into \\.\NUL before anything can be judged.
    for (size_t start = 0; start <= given.size();) {
        const size_t end = std::min(given.find_first_of(L"\\/", start), given.size());
        const std::wstring name = given.substr(start, end - start);
        if (const std::wstring device = DeviceOf(name); !device.empty()) {
            why = L"\"" + name + L"\" names the device " + device + L", not a file";
            return std::nullopt;
        }
        start = end + 1;
    }
    std::wstring path = given;
    bool literal = false;
    if (StartsWith(path, L"\\\\?\\UNC\\")) {
        path = L"\\\\" + path.substr(8);
        literal = true;
    } else if (StartsWith(path, kLongPrefix) || StartsWith(path, kDevicePrefix)) {
        if (!IsDriveRoot(path, kPrefixLength)) {
            why = L"a volume or device path (" + path.substr(0, kPrefixLength) + L"...): name the file by its drive "
                  L"letter or network share";
            return std::nullopt;
        }
        literal = StartsWith(path, kLongPrefix);
        path.erase(0, kPrefixLength);
    }
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (!literal) {
        std::wstring full(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
            if (length == 0) {
                why = VqBase::WithError(L"not a valid path", GetLastError());
                return std::nullopt;
            }
            const bool fits = length < full.size();
            full.resize(length);
            if (fits) break;
        }
        path = full;
    }
    const bool drive = IsDriveRoot(path, 0);
    const bool share = path.size() > 2 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\' &&
                       path[2] != L'?' && path[2] != L'.';
    if (!drive && !share) {
        why = StartsWith(path, kDevicePrefix) ? L"a device path (" + path + L")" : L"no full path (" + path + L")";
        return std::nullopt;
    }
    TargetPath target;
    size_t rootEnd = 3;
    if (share) {
        const std::optional<size_t> shareEnd = VqBase::NetworkRootEnd(path);
        if (!shareEnd) {
            why = L"a network path without a share";
            return std::nullopt;
        }
        rootEnd = *shareEnd;
    }
    target.Root = path.substr(0, rootEnd);
    if (path.back() == L'\\') {
        why = L"a directory, not a file (the path ends in a separator)";
        return std::nullopt;
    }
    std::vector<std::wstring> names;
    for (size_t start = rootEnd; start <= path.size();) {
        const size_t end = std::min(path.find(L'\\', start), path.size());
        names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    for (const std::wstring& name : names)
        if (std::wstring problem = NameProblem(name, literal); !problem.empty()) {
            why = std::move(problem);
            return std::nullopt;
        }
    target.File = names.back();
    names.pop_back();
    target.Directories = std::move(names);
    target.Full = target.Root;
    for (const std::wstring& directory : target.Directories)
        target.Full += directory + L"\\";
    target.Full += target.File;
    target.Posted = target.Full.size() < MAX_PATH ? target.Full
                    : share                       ? L"\\\\?\\UNC\\" + target.Full.substr(2)
                                                  : kLongPrefix + target.Full;
    if (target.Posted.size() >= kLongestPath) {
        why = L"a path of " + std::to_wstring(target.Posted.size()) + L" characters (at most " +
              std::to_wstring(kLongestPath - 1) + L")";
        return std::nullopt;
    }
    return target;
}

}  // namespace diagctl
