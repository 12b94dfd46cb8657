// The fallback file of a log that cannot be written, and its generations.
#include "base/VqLogFallback.h"

#include "base/VqLogDirectory.h"
#include "base/VqLogEntries.h"
#include "base/VqLogNames.h"
#include "base/VqLogRotation.h"

namespace VqBase {

bool CLogFallback::Make(HANDLE directory, const std::wstring& name, CTraceFile& file, std::wstring& why) {
    const std::wstring token = RandomToken();
    if (token.empty()) {
        why = WithError(L"no random name for a fallback file", ::GetLastError());
        return false;
    }
    const std::wstring made = FallbackFileName(name, token);
    // The sink's own, like a private log: the directory's inheritance gives
    // it its creator and the administrators.
    const LogFileRules rules{false, true, false, nullptr, nullptr, &m_KnownIndex};
    if (file.Create(directory, made, rules) != CTraceFile::Opened) {
        why = L"fallback file \"" + made + L"\": " + file.Problem();
        return false;
    }
    if (!m_Current.Name.empty()) {
        Delete(directory, m_Previous);
        m_Previous = m_Current;
    }
    m_Current = {made, file.Index()};
    return true;
}

void CLogFallback::Delete(HANDLE directory, const Generation& generation) const {
    if (generation.Name.empty()) return;
    UniqueHandle doomed;
    LONGLONG index = 0;
    if (OpenRelative(directory, generation.Name, DELETE | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                     nullptr, doomed) >= 0 &&
        FileIndexOf(doomed.get(), index) && index == generation.Index)
        DeleteEntry(doomed.get());
}

bool CLogFallback::Write(HANDLE directory, const std::wstring& name, DWORD bound, const char* record, size_t size,
                         std::wstring& made, std::wstring& why) {
    made.clear();
    CTraceFile file;
    const LogFileRules rules{false, true, false, nullptr, nullptr, &m_KnownIndex};
    // Only the file it made: anything else under that name (an
    // administrator moved it away and someone made another) is not reused.
    const bool current = !m_Current.Name.empty() &&
                         file.OpenExisting(directory, m_Current.Name, rules) == CTraceFile::Opened &&
                         file.Index() == m_Current.Index;
    if (!current || RotationDue(file.Size(), size, bound)) {
        file.Close();
        if (!Make(directory, name, file, why)) return false;
        made = m_Current.Name;
    }
    file.Write(record, size);
    return true;
}

}  // namespace VqBase
