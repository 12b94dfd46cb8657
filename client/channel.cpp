#include "channel.h"

#include <cstring>

#include "ReRiruRuvazor.h"

namespace diagctl {

namespace {

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    std::vector<BYTE> sid(size);
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size))
        return {};
    sid.resize(size);
    return sid;
}

std::vector<BYTE> TokenUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    std::vector<BYTE> sid;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        const auto* bytes = static_cast<const BYTE*>(user);
        sid.assign(bytes, bytes + GetLengthSid(user));
    }
    const DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    return sid;
}

std::wstring ErrorSuffix(DWORD error) { return L" (error " + std::to_wstring(error) + L")"; }

}  // namespace

ChannelNames ProductChannelNames() { return {kSectionName, kDoWorkEventName, kWorkDoneEventName}; }

ChannelNames PrefixedChannelNames(const std::wstring& prefix) {
    return {prefix + L".Section", prefix + L".DoWork", prefix + L".WorkDone"};
}

ChannelSecurity::ChannelSecurity(DWORD access)
    : m_System(WellKnownSid(WinLocalSystemSid)), m_Administrators(WellKnownSid(WinBuiltinAdministratorsSid)) {
    const std::vector<BYTE> user = TokenUserSid();
    if (m_System.empty() || m_Administrators.empty() || user.empty())
        return;
    DWORD size = sizeof(ACL);
    for (const auto* sid : {&m_System, &m_Administrators})
        size += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sid->size());
    m_Acl.resize((size + 3) & ~DWORD{3});
    auto* acl = reinterpret_cast<ACL*>(m_Acl.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(m_Acl.size()), ACL_REVISION))
        return;
    for (auto* sid : {&m_System, &m_Administrators})
        if (!AddAccessAllowedAce(acl, ACL_REVISION, access, sid->data()))
            return;
    // An elevated administrator may name the Administrators group as owner;
    // LocalSystem names itself, as the system does for its own objects.
    const bool system = user == m_System;
    if (!InitializeSecurityDescriptor(&m_Descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&m_Descriptor, system ? m_System.data() : m_Administrators.data(), FALSE) ||
        !SetSecurityDescriptorDacl(&m_Descriptor, TRUE, acl, FALSE))
        return;
    m_Attributes.nLength = sizeof(m_Attributes);
    m_Attributes.lpSecurityDescriptor = &m_Descriptor;
    m_Attributes.bInheritHandle = FALSE;
    m_Valid = true;
}

std::unique_ptr<Channel> Channel::Create(const ChannelNames& names, DWORD sectionSize, std::wstring& message,
                                         CreateError* error) {
    auto fail = [&](CreateError kind, std::wstring text) -> std::unique_ptr<Channel> {
        if (error != nullptr)
            *error = kind;
        message = std::move(text);
        return nullptr;
    };
    if (error != nullptr)
        *error = CreateError::None;
    if (sectionSize < diagproto::kHeaderSize)
        return fail(CreateError::Failed, L"the section must hold at least " +
                                             std::to_wstring(diagproto::kHeaderSize) + L" bytes");

    // An object that exists already was made by someone else; it may carry a
    // DACL or content of theirs, so it is never used.
    auto taken = [&](const std::wstring& what, const std::wstring& name) {
        return fail(CreateError::AlreadyExists,
                    L"the " + what + L" \"" + name + L"\" exists already; another program holds the channel");
    };

    std::unique_ptr<Channel> channel(new Channel());
    ChannelSecurity sectionSecurity(SECTION_ALL_ACCESS);
    ChannelSecurity eventSecurity(EVENT_ALL_ACCESS);
    if (!sectionSecurity.Valid() || !eventSecurity.Valid())
        return fail(CreateError::Failed, L"cannot build the channel's security descriptor" + ErrorSuffix(GetLastError()));

    channel->m_Mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, sectionSecurity.Attributes(), PAGE_READWRITE, 0,
                                            sectionSize, names.Section.c_str());
    if (channel->m_Mapping == nullptr) {
        const DWORD created = GetLastError();
        // Global names and the Administrators group as owner are for elevated
        // processes only.
        if (created == ERROR_ACCESS_DENIED || created == ERROR_INVALID_OWNER || created == ERROR_PRIVILEGE_NOT_HELD)
            return fail(CreateError::Failed, L"creating the channel needs administrator rights: run diagctl from an "
                                             L"elevated prompt" + ErrorSuffix(created));
        return fail(CreateError::Failed, L"cannot create the section \"" + names.Section + L"\"" + ErrorSuffix(created));
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return taken(L"section", names.Section);

    channel->m_DoWork = CreateEventW(eventSecurity.Attributes(), FALSE, FALSE, names.DoWork.c_str());
    if (channel->m_DoWork == nullptr)
        return fail(CreateError::Failed,
                    L"cannot create the event \"" + names.DoWork + L"\"" + ErrorSuffix(GetLastError()));
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return taken(L"event", names.DoWork);

    // Auto-reset as well, so that one reply releases one wait.
    channel->m_WorkDone = CreateEventW(eventSecurity.Attributes(), FALSE, FALSE, names.WorkDone.c_str());
    if (channel->m_WorkDone == nullptr)
        return fail(CreateError::Failed,
                    L"cannot create the event \"" + names.WorkDone + L"\"" + ErrorSuffix(GetLastError()));
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return taken(L"event", names.WorkDone);

    channel->m_View = MapViewOfFile(channel->m_Mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sectionSize);
    if (channel->m_View == nullptr)
        return fail(CreateError::Failed,
                    L"cannot map the section \"" + names.Section + L"\"" + ErrorSuffix(GetLastError()));
    channel->m_Size = sectionSize;
    return channel;
}

Channel::~Channel() {
    if (m_View != nullptr)
        UnmapViewOfFile(m_View);
    for (HANDLE handle : {m_WorkDone, m_DoWork, m_Mapping})
        if (handle != nullptr)
            CloseHandle(handle);
}

PostResult Channel::Post(const std::vector<std::uint8_t>& request, DWORD timeoutMs) {
    if (request.size() > m_Size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return PostResult::Failed;
    }
    // A reply that came after an earlier time-out must not pass for this one.
    ResetEvent(m_WorkDone);
    auto* bytes = static_cast<std::uint8_t*>(m_View);
    std::memcpy(bytes, request.data(), request.size());
    std::memset(bytes + request.size(), 0, m_Size - request.size());
    if (!SetEvent(m_DoWork))
        return PostResult::Failed;
    switch (WaitForSingleObject(m_WorkDone, timeoutMs)) {
    case WAIT_OBJECT_0:
        return PostResult::Replied;
    case WAIT_TIMEOUT:
        return PostResult::TimedOut;
    default:
        return PostResult::Failed;
    }
}

diagproto::Reply Channel::Reply() const { return diagproto::DecodeReply(m_View, m_Size); }

}  // namespace diagctl
