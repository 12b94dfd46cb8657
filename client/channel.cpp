#include "channel.h"

#include <cstring>

#include "ReRiruRuvazor.h"
#include "base/VqAccessList.h"

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

std::wstring ErrorSuffix(DWORD error) { return L" (error " + std::to_wstring(error) + L")"; }

HANDLE ProbeSection(const std::wstring& name) { return OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()); }
HANDLE ProbeEvent(const std::wstring& name) { return OpenEventW(SYNCHRONIZE, FALSE, name.c_str()); }

// Why a create that failed with created met a name that someone else holds:
// an object of another type (6), or one that refuses us access (5), which an
// open of the same kind tells from a name we may not create (2). Empty when
// the name was not the reason.
std::wstring SquatReason(DWORD created, const std::wstring& name, HANDLE (*open)(const std::wstring&)) {
    constexpr wchar_t kOtherType[] = L"an object of another type holds the name";
    if (created == ERROR_INVALID_HANDLE)
        return kOtherType;
    if (created != ERROR_ACCESS_DENIED)
        return std::wstring();
    const HANDLE probe = open(name);
    const DWORD opened = GetLastError();
    if (probe != nullptr) {
        CloseHandle(probe);
        return L"the object there refuses diagctl the access it needs";
    }
    if (opened == ERROR_ACCESS_DENIED)
        return L"the object there refuses diagctl access";
    return opened == ERROR_INVALID_HANDLE ? kOtherType : std::wstring();
}

}  // namespace

ChannelNames ProductChannelNames() { return {kSectionName, kDoWorkEventName, kWorkDoneEventName}; }

ChannelNames PrefixedChannelNames(const std::wstring& prefix) {
    return {prefix + L".Section", prefix + L".DoWork", prefix + L".WorkDone"};
}

bool IsProductChannel(const ChannelNames& names) {
    const ChannelNames product = ProductChannelNames();
    return names.Section == product.Section && names.DoWork == product.DoWork && names.WorkDone == product.WorkDone;
}

ChannelSecurity::ChannelSecurity(DWORD access)
    : m_System(WellKnownSid(WinLocalSystemSid)), m_Administrators(WellKnownSid(WinBuiltinAdministratorsSid)) {
    const std::vector<BYTE> user = VqBase::ProcessUserSid();
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
    // A create that failed; the last error is created again on return.
    auto notCreated = [&](const std::wstring& what, const std::wstring& name, DWORD created,
                          HANDLE (*open)(const std::wstring&)) {
        std::unique_ptr<Channel> none;
        // Global names and the Administrators group as owner are for elevated
        // processes only; an elevated one that is refused met someone's object.
        if (created == ERROR_INVALID_OWNER || created == ERROR_PRIVILEGE_NOT_HELD ||
            (created == ERROR_ACCESS_DENIED && !VqBase::ProcessIsElevated()))
            none = fail(CreateError::Failed, L"creating the channel needs administrator rights: run diagctl from an "
                                             L"elevated prompt" + ErrorSuffix(created));
        else if (const std::wstring reason = SquatReason(created, name, open); !reason.empty())
            none = fail(CreateError::Squatted, L"the " + what + L" \"" + name +
                                                   L"\" is taken by another program (name squatting): " + reason +
                                                   L"; the channel cannot be made while that program holds the name");
        else
            none = fail(CreateError::Failed,
                        L"cannot create the " + what + L" \"" + name + L"\"" + ErrorSuffix(created));
        SetLastError(created);
        return none;
    };

    std::unique_ptr<Channel> channel(new Channel());
    ChannelSecurity sectionSecurity(SECTION_ALL_ACCESS);
    ChannelSecurity eventSecurity(EVENT_ALL_ACCESS);
    if (!sectionSecurity.Valid() || !eventSecurity.Valid())
        return fail(CreateError::Failed, L"cannot build the channel's security descriptor" + ErrorSuffix(GetLastError()));

    channel->m_Mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, sectionSecurity.Attributes(), PAGE_READWRITE, 0,
                                            sectionSize, names.Section.c_str());
    if (channel->m_Mapping == nullptr)
        return notCreated(L"section", names.Section, GetLastError(), ProbeSection);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return taken(L"section", names.Section);

    channel->m_DoWork = CreateEventW(eventSecurity.Attributes(), FALSE, FALSE, names.DoWork.c_str());
    if (channel->m_DoWork == nullptr)
        return notCreated(L"event", names.DoWork, GetLastError(), ProbeEvent);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return taken(L"event", names.DoWork);

    // Auto-reset as well, so that one reply releases one wait.
    channel->m_WorkDone = CreateEventW(eventSecurity.Attributes(), FALSE, FALSE, names.WorkDone.c_str());
    if (channel->m_WorkDone == nullptr)
        return notCreated(L"event", names.WorkDone, GetLastError(), ProbeEvent);
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
    // The service may still be writing the unanswered request's reply over
    // this one, and its work-done would pass for this request's.
    if (m_Unanswered)
        return PostResult::OutOfStep;
    auto* bytes = static_cast<std::uint8_t*>(m_View);
    std::memcpy(bytes, request.data(), request.size());
    std::memset(bytes + request.size(), 0, m_Size - request.size());
    if (!SetEvent(m_DoWork))
        return PostResult::Failed;
    switch (WaitForSingleObject(m_WorkDone, timeoutMs)) {
    case WAIT_OBJECT_0:
        return PostResult::Replied;
    case WAIT_TIMEOUT:
        m_Unanswered = true;
        return PostResult::TimedOut;
    default:
        m_Unanswered = true;
        return PostResult::Failed;
    }
}

diagproto::Reply Channel::Reply() const { return diagproto::DecodeReply(m_View, m_Size); }

}  // namespace diagctl
