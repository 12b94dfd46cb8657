// The service's entries in the Application event log.
#include "base/VqEventLog.h"

#include "base/LastError.h"
#include "base/VqOwners.h"

namespace VqBase {

WORD EventType(DWORD id) {
    switch (id >> 30) {
        case 3:
            return EVENTLOG_ERROR_TYPE;
        case 2:
            return EVENTLOG_WARNING_TYPE;
        default:
            return EVENTLOG_INFORMATION_TYPE;
    }
}

CEventLog::CEventLog(std::wstring source) : m_Source(std::move(source)) {}

CEventLog::~CEventLog() {
    if (m_Handle) ::DeregisterEventSource(m_Handle);
}

bool CEventLog::Report(DWORD id, const std::wstring& object, const std::vector<std::wstring>& strings,
                       const std::vector<BYTE>& user) noexcept {
    LastErrorKeeper keep;
    try {
        HANDLE source = nullptr;
        {
            // Released on every way out: the count's allocation may throw.
            ExclusiveLock guard(m_Lock);
            const unsigned seen = ++m_Seen[{id, object}];
            if (seen == 1 && !m_Opened) {
                m_Opened = true;
                m_Handle = ::RegisterEventSourceW(nullptr, m_Source.c_str());
            }
            source = m_Handle;
            if (seen != 1) return false;
        }
        std::vector<const wchar_t*> texts;
        for (const std::wstring& text : strings) texts.push_back(text.c_str());
        if (source)
            ::ReportEventW(source, EventType(id), 0, id, user.empty() ? nullptr : const_cast<BYTE*>(user.data()),
                           static_cast<WORD>(texts.size()), 0, texts.empty() ? nullptr : texts.data(), nullptr);
        if (IEventSink* sink = m_Sink.load()) sink->OnEvent({EventType(id), id, strings, user});
        return true;
    } catch (...) {
        return false;
    }
}

unsigned CEventLog::Occurrences(DWORD id, const std::wstring& object) const {
    SharedLock lock(m_Lock);
    const auto found = m_Seen.find({id, object});
    return found == m_Seen.end() ? 0 : found->second;
}

}  // namespace VqBase
