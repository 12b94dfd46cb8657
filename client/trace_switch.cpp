#include "trace_switch.h"

#include "base/VqTrace.h"

namespace diagctl {
namespace {

const std::wstring kProgramKey = std::wstring(VqBase::kTraceKey) + L"\\" + VqBase::kTraceName;

// An open program key, closed when the scope ends.
class ProgramKey {
public:
    explicit ProgramKey(REGSAM access) {
        m_Status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProgramKey.c_str(), 0, nullptr, 0, access | KEY_WOW64_64KEY,
                                   nullptr, &m_Key, nullptr);
        if (m_Status != ERROR_SUCCESS)
            m_Key = nullptr;
    }
    ~ProgramKey() {
        if (m_Key)
            RegCloseKey(m_Key);
    }
    ProgramKey(const ProgramKey&) = delete;
    ProgramKey& operator=(const ProgramKey&) = delete;

    LSTATUS Status() const { return m_Status; }
    HKEY Get() const { return m_Key; }

    // The value's type and bytes; nullopt when it does not exist or cannot
    // be read.
    std::optional<KeptLevels> Read(const wchar_t* name) const {
        KeptLevels value;
        DWORD size = 0;
        if (!m_Key || RegQueryValueExW(m_Key, name, nullptr, &value.Type, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        value.Bytes.resize(size);
        if (RegQueryValueExW(m_Key, name, nullptr, &value.Type, value.Bytes.data(), &size) != ERROR_SUCCESS)
            return std::nullopt;
        value.Bytes.resize(size);
        return value;
    }
    LSTATUS Write(const wchar_t* name, DWORD type, const std::vector<BYTE>& bytes) const {
        return RegSetValueExW(m_Key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    }

private:
    HKEY m_Key = nullptr;
    LSTATUS m_Status = ERROR_SUCCESS;
};

bool IsZero(const std::optional<KeptLevels>& value) {
    return value && value->Type == REG_DWORD && value->Bytes == std::vector<BYTE>(4, 0);
}

}  // namespace

std::optional<KeptLevels> ReadKeptLevels() {
    const ProgramKey key(KEY_QUERY_VALUE);
    std::optional<KeptLevels> kept = key.Read(kKeptLevelsValue);
    // An empty REG_NONE stands for "no EnableMask".
    if (kept && kept->Type == REG_NONE && kept->Bytes.empty())
        kept->Absent = true;
    return kept;
}

LSTATUS KeepLevels(std::wstring& failed) {
    const ProgramKey key(KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (key.Status() != ERROR_SUCCESS) {
        failed = L"RegCreateKeyEx of HKLM\\" + kProgramKey;
        return key.Status();
    }
    const std::optional<KeptLevels> now = key.Read(L"EnableMask");
    if (IsZero(now) && key.Read(kKeptLevelsValue))
        return ERROR_SUCCESS;
    const LSTATUS status = now ? key.Write(kKeptLevelsValue, now->Type, now->Bytes) : key.Write(kKeptLevelsValue, REG_NONE, {});
    if (status != ERROR_SUCCESS)
        failed = std::wstring(L"RegSetValueEx of ") + kKeptLevelsValue;
    return status;
}

LSTATUS BringBackLevels(const KeptLevels& kept, std::wstring& failed) {
    const ProgramKey key(KEY_SET_VALUE);
    if (key.Status() != ERROR_SUCCESS) {
        failed = L"RegCreateKeyEx of HKLM\\" + kProgramKey;
        return key.Status();
    }
    LSTATUS status = kept.Absent ? RegDeleteValueW(key.Get(), L"EnableMask") : key.Write(L"EnableMask", kept.Type, kept.Bytes);
    if (status == ERROR_FILE_NOT_FOUND && kept.Absent)
        status = ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) {
        failed = kept.Absent ? L"RegDeleteValue of EnableMask" : L"RegSetValueEx of EnableMask";
        return status;
    }
    status = RegDeleteValueW(key.Get(), kKeptLevelsValue);
    if (status != ERROR_SUCCESS)
        failed = std::wstring(L"RegDeleteValue of ") + kKeptLevelsValue;
    return status;
}

void ForgetKeptLevels() {
    const ProgramKey key(KEY_SET_VALUE);
    if (key.Get())
        RegDeleteValueW(key.Get(), kKeptLevelsValue);
}

}  // namespace diagctl
