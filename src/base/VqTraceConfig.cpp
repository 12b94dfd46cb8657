// The trace configuration: registry values, their precedence and the log
// file path.
#include "base/VqTraceConfig.h"

#include <algorithm>

namespace VqBase {

namespace {

// An open registry key, closed when the scope ends.
class RegKey {
public:
    RegKey(HKEY parent, const wchar_t* name) {
        if (::RegOpenKeyExW(parent, name, 0, KEY_QUERY_VALUE, &m_Key) != ERROR_SUCCESS) m_Key = nullptr;
    }
    ~RegKey() {
        if (m_Key) ::RegCloseKey(m_Key);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    bool IsOpen() const { return m_Key != nullptr; }
    HKEY Get() const { return m_Key; }

    // A 4-byte value of any type; anything else counts as absent.
    std::optional<DWORD> Number(const wchar_t* name) const {
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (::RegQueryValueExW(m_Key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
            size != sizeof(value))
            return std::nullopt;
        return value;
    }

    // A string of at most 519 characters. One that does not fit the buffer
    // would be cut, so it counts as absent; tooLong says so.
    std::optional<std::wstring> String(const wchar_t* name, bool* tooLong = nullptr) const {
        wchar_t buffer[kTracePathChars] = {};
        DWORD size = sizeof(buffer);
        const LSTATUS status =
            ::RegQueryValueExW(m_Key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
        const size_t chars = size / sizeof(wchar_t);
        const bool cut = status == ERROR_MORE_DATA ||
                         (status == ERROR_SUCCESS && chars == kTracePathChars && buffer[kTracePathChars - 1] != L'\0');
        if (tooLong) *tooLong = cut;
        if (status != ERROR_SUCCESS || cut) return std::nullopt;
        return std::wstring(buffer, wcsnlen(buffer, chars));
    }

private:
    HKEY m_Key = nullptr;
};

}  // namespace

CTraceConfig::CTraceConfig(std::wstring name, TraceLocation location)
    : m_Name(std::move(name)), m_Location(std::move(location)) {}

bool CTraceConfig::ReadConfig() {
    RegKey trace(m_Location.root, m_Location.key.c_str());
    if (!trace.IsOpen()) return false;

    DWORD enable = trace.Number(L"EnableMask").value_or(0);
    DWORD params = trace.Number(L"ParamsMask").value_or(0);
    DWORD common = trace.Number(L"CommonFileFlag").value_or(0);
    DWORD context = 0xFFFFFFFF;
    std::wstring commonFileName;
    bool longName = false;

    {
        RegKey program(trace.Get(), m_Name.c_str());
        if (program.IsOpen()) {
            enable = program.Number(L"EnableMask").value_or(enable);
            params = program.Number(L"ParamsMask").value_or(params);
            common = program.Number(L"CommonFileFlag").value_or(common);
            context = program.Number(L"ContextMask").value_or(context);
            // Only a common flag of the program's own selects its common file.
            if (common != 0) commonFileName = program.String(L"CommonFileName", &longName).value_or(L"");
        }
    }

    enable = trace.Number(L"ForceEnableMask").value_or(enable);
    params = trace.Number(L"ForceParamsMask").value_or(params);
    common = trace.Number(L"ForceCommonFileFlag").value_or(common);
    if (trace.Number(L"DisableContextFlag").value_or(0) != 0) context = 0xFFFFFFFF;

    bool longPath = false;
    m_FilePath = ComposeFilePath(m_Name, common, commonFileName, trace.String(L"TracePath", &longPath));
    // A path that was cut would put the log elsewhere than the administrator
    // asked: nothing is written, and the trace says why.
    m_FilePathProblem.clear();
    if (longPath || (longName && common != 0))
        m_FilePathProblem = std::wstring(longPath ? L"TracePath" : L"CommonFileName") + L" has " +
                            std::to_wstring(kTracePathChars) + L" characters or more";
    Publish(enable, params, common, context);
    return true;
}

void CTraceConfig::Publish(DWORD enable, DWORD params, DWORD common, DWORD context) {
    m_EnableMask.exchange(enable);
    m_ParamsMask.exchange(params);
    m_CommonFileFlag.exchange(common);
    m_ContextMask.exchange(context);
}

std::wstring GetTempDirectory() {
    for (const wchar_t* name : {L"Temp", L"Tmp", L"windir"}) {
        wchar_t buffer[kTracePathChars];
        const DWORD length = ::GetEnvironmentVariableW(name, buffer, static_cast<DWORD>(kTracePathChars));
        // A value that does not fit returns its size and leaves the buffer
        // without it: that counts as unset.
        if (length != 0 && length < kTracePathChars) return std::wstring(buffer, length);
    }
    return L"C:\\";
}

std::wstring AppendLogExtension(std::wstring base) {
    const size_t n = base.size();
    const size_t dot = base.rfind(L'.');
    if (n != 0 && dot == n - 1)
        base += L"log";
    else if (dot == std::wstring::npos || n - dot - 1 != 3)
        base += L".log";
    return base;
}

std::wstring ComposeFilePath(const std::wstring& name, DWORD commonFlag, const std::wstring& commonFileName,
                             const std::optional<std::wstring>& tracePath) {
    // Windows takes "/" for "\\" everywhere; the path is kept in one form, so
    // that its root is found and the final-path check compares like with like.
    auto normalised = [](std::wstring path) {
        std::replace(path.begin(), path.end(), L'/', L'\\');
        return path;
    };
    if (commonFlag != 0 && !commonFileName.empty()) return normalised(commonFileName);
    std::wstring path = normalised(tracePath ? *tracePath : GetTempDirectory());
    if (path.empty() || path.back() != L'\\') path += L'\\';
    path += AppendLogExtension(commonFlag != 0 ? L"VqTrace" : name);
    return path;
}

}  // namespace VqBase
