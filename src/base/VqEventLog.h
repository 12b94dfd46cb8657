#pragma once
// The service's entries in the Application event log: what an administrator
// must act on (a channel missing or refused, refused start parameters and
// requests, a reg.exe that did not start, a log path refused), one entry
// per kind and object per process, never a flood. The texts are in the
// product's message table, registered as the source's EventMessageFile.
#include <windows.h>

#include <atomic>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace VqBase {

inline constexpr wchar_t kEventSource[] = L"ReRiruRuvazor";

// One entry as it is reported: its type, the message ID, the insertion
// strings and the SID of the user it concerns (empty: none).
struct EventRecord {
    WORD Type = EVENTLOG_INFORMATION_TYPE;
    DWORD Id = 0;
    std::vector<std::wstring> Strings;
    std::vector<BYTE> User;
};

// Sees every entry that is written. Tests install one to read what the
// service reports, since Wine keeps no event log.
class IEventSink {
public:
    virtual void OnEvent(const EventRecord& event) = 0;

protected:
    ~IEventSink() = default;
};

// The type an entry of a message ID is written as, from its severity bits.
WORD EventType(DWORD id);

class CEventLog {
public:
    explicit CEventLog(std::wstring source = kEventSource);
    ~CEventLog();
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    // Writes entry id about object, unless one was written for both since
    // the process started; true when this one was. The source is opened by
    // its full name at the first entry and closed with this object. A
    // failure to write changes nothing for the caller.
    bool Report(DWORD id, const std::wstring& object, const std::vector<std::wstring>& strings,
                const std::vector<BYTE>& user = {}) noexcept;
    // How often Report was called for id and object.
    unsigned Occurrences(DWORD id, const std::wstring& object = {}) const;

    // Test seam: the sink that sees each entry written; null removes it.
    void SetSink(IEventSink* sink) { m_Sink.store(sink); }

private:
    std::wstring m_Source;
    mutable SRWLOCK m_Lock = SRWLOCK_INIT;
    HANDLE m_Handle = nullptr;
    bool m_Opened = false;
    std::map<std::pair<DWORD, std::wstring>, unsigned> m_Seen;
    std::atomic<IEventSink*> m_Sink{nullptr};
};

}  // namespace VqBase
