#pragma once
// The tool's side of the work channel: creates and owns the shared section
// and the two work events, posts one request at a time and waits for the
// reply.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diagproto.h"

namespace diagctl {

inline constexpr DWORD kDefaultSectionSize = 64 * 1024;

struct ChannelNames {
    std::wstring Section;
    std::wstring DoWork;
    std::wstring WorkDone;
};

// The names the service opens.
ChannelNames ProductChannelNames();
// PREFIX.Section, PREFIX.DoWork and PREFIX.WorkDone: a test's own channel.
ChannelNames PrefixedChannelNames(const std::wstring& prefix);
// True when names are the ones the service opens.
bool IsProductChannel(const ChannelNames& names);

// The security the tool gives the channel's objects: owner Administrators
// (LocalSystem when the process runs as LocalSystem), and a DACL that grants
// access to those two only. The service serves no channel that anyone else
// made or may change.
class ChannelSecurity {
public:
    explicit ChannelSecurity(DWORD access);
    ChannelSecurity(const ChannelSecurity&) = delete;
    ChannelSecurity& operator=(const ChannelSecurity&) = delete;

    // False when the descriptor could not be built (the last error says why).
    bool Valid() const { return m_Valid; }
    SECURITY_ATTRIBUTES* Attributes() { return m_Valid ? &m_Attributes : nullptr; }
    const ACL* Dacl() const { return reinterpret_cast<const ACL*>(m_Acl.data()); }
    PSID Owner() const { return m_Descriptor.Owner; }

private:
    std::vector<BYTE> m_System;
    std::vector<BYTE> m_Administrators;
    std::vector<BYTE> m_Acl;
    SECURITY_DESCRIPTOR m_Descriptor{};
    SECURITY_ATTRIBUTES m_Attributes{};
    bool m_Valid = false;
};

// OutOfStep: not posted, because an earlier request of this channel got no
// reply in time; its late reply could not be told from this one's.
// ServerEnded: no reply, and the watched server has gone (ServerWatch).
enum class PostResult { Replied, TimedOut, Failed, OutOfStep, ServerEnded };

// What a post watches besides the reply: a server that has ended will never
// answer, and waiting out the time-out would only hide that.
struct ServerWatch {
    HANDLE Process = nullptr;     // the serving process (SYNCHRONIZE); may be null
    std::function<bool()> Gone;   // asked at least every kWatchIntervalMs; may be empty
};
inline constexpr DWORD kWatchIntervalMs = 250;

class Channel {
public:
    // Squatted: a name is held by an object that refuses us access or is of
    // another type.
    enum class CreateError { None, AlreadyExists, Squatted, Failed };

    // Creates the section (sectionSize bytes), the auto-reset do-work event and
    // the work-done event. Refuses when any of the names exists already, so
    // that nobody else's object is used. On failure returns null, with a
    // message naming the object and the reason.
    static std::unique_ptr<Channel> Create(const ChannelNames& names, DWORD sectionSize, std::wstring& message,
                                           CreateError* error = nullptr);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void* View() const { return m_View; }
    DWORD Size() const { return m_Size; }

    // Writes request at offset 0 (the rest of the section zeroed), sets
    // do-work and waits up to timeoutMs for work-done. Failed leaves the
    // reason in the thread's last error. After a request that got no reply
    // nothing more is posted (OutOfStep). With a watch, the wait also ends
    // when the server has gone (ServerEnded); nothing more is posted then
    // either.
    PostResult Post(const std::vector<std::uint8_t>& request, DWORD timeoutMs, const ServerWatch* watch = nullptr);
    // The record as the service left it.
    diagproto::Reply Reply() const;

private:
    Channel() = default;
    PostResult AwaitWatching(DWORD timeoutMs, const ServerWatch& watch);

    HANDLE m_Mapping = nullptr;
    void* m_View = nullptr;
    DWORD m_Size = 0;
    HANDLE m_DoWork = nullptr;
    HANDLE m_WorkDone = nullptr;
    bool m_Unanswered = false;
};

}  // namespace diagctl
