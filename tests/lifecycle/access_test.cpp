// The access step: a channel is served only when LocalSystem or the
// Administrators own each object and nobody else may change it, judged on
// the handles the service opened.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <memory>
#include <string>

#include "ReRiruRuvazor.h"
#include "base/VqTrace.h"
#include "trace_capture.h"

namespace {

using testing_support::TraceCapture;

// A kernel object created with the descriptor under test (Wine, like
// Windows, keeps any owner a creator names).
// Null sddl: owner Administrators and a NULL DACL, which SDDL cannot say.
HANDLE CreateWith(const wchar_t* sddl, bool section, const std::wstring& name) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_DESCRIPTOR nullDacl{};
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    if (sddl == nullptr) {
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size);
        InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&nullDacl, administrators, FALSE);
        SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE);
    } else if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), sddl ? descriptor : &nullDacl, FALSE};
    const HANDLE handle = section ? CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, 4096,
                                                       name.c_str())
                                  : CreateEventW(&attributes, FALSE, FALSE, name.c_str());
    if (descriptor)
        LocalFree(descriptor);
    return handle;
}

constexpr wchar_t kTrusted[] = L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)";

struct Case {
    const wchar_t* Section;
    const wchar_t* DoWork;
    const wchar_t* WorkDone;
    const char* Reason;  // null: granted
};

// The verdict of the access step on a channel whose objects carry these
// descriptors.
void ExpectVerdict(const Case& c, int index) {
    SCOPED_TRACE("case " + std::to_string(index));
    const std::wstring prefix = L"vq.access." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(index);
    DiagService::ChannelNames names;
    names.Section = prefix + L".Section";
    names.DoWork = prefix + L".DoWork";
    names.WorkDone = prefix + L".WorkDone";
    const HANDLE objects[] = {CreateWith(c.Section, true, names.Section), CreateWith(c.DoWork, false, names.DoWork),
                              CreateWith(c.WorkDone, false, names.WorkDone)};
    for (HANDLE object : objects)
        ASSERT_NE(object, nullptr);
    {
        TraceCapture capture;
        struct Events : VqBase::IEventSink {
            std::vector<VqBase::EventRecord> seen;
            void OnEvent(const VqBase::EventRecord& event) override { seen.push_back(event); }
        } events;
        VqBase::GetTrace().Events().SetSink(&events);
        std::unique_ptr<DiagService> built;
        try {
            built = std::make_unique<DiagService>(names, [](wchar_t*, PROCESS_INFORMATION*) { return false; });
        } catch (...) {
            FAIL() << "the channel cannot be opened\n" << capture.Dump();
        }
        DiagService& service = *built;
        const bool granted = DiagService::CheckAccess::Do(service);
        if (c.Reason == nullptr) {
            EXPECT_TRUE(granted);
            EXPECT_TRUE(capture.Contains("[DiagService::CheckAccess::Do] Granted", VqBase::TL_INFO)) << capture.Dump();
        } else {
            EXPECT_FALSE(granted);
            EXPECT_TRUE(capture.Contains(c.Reason, VqBase::TL_ERROR)) << capture.Dump();
            EXPECT_TRUE(capture.Contains("[DiagService::CheckAccess::Do] IsSystem(): Deny", VqBase::TL_INFO))
                << capture.Dump();
            // The administrator hears of it: which object, and why.
            ASSERT_EQ(events.seen.size(), 1u) << index;
            const std::wstring& why = events.seen[0].Strings.at(2);
            EXPECT_NE(std::string(c.Reason).find(std::string(why.begin(), why.end())), std::string::npos) << index;
        }
        VqBase::GetTrace().Events().SetSink(nullptr);
    }
    for (HANDLE object : objects)
        CloseHandle(object);
}

TEST(AccessStep, OnlyChannelsOfSystemOrAdministratorsThatNobodyElseMayChangeAreServed) {
    const Case cases[] = {
        {kTrusted, kTrusted, kTrusted, nullptr},
        {L"O:SYD:(A;;GA;;;SY)(A;;GA;;;BA)", L"O:SYD:(A;;GA;;;BA)(A;;GA;;;SY)", kTrusted, nullptr},
        // Reading is no threat; nor is waiting on the section, which has no signal.
        {L"O:BAD:(A;;GA;;;BA)(A;;GR;;;WD)", L"O:BAD:(A;;GA;;;BA)(A;;0x00020001;;;WD)", kTrusted, nullptr},
        {L"O:BAD:(A;;GA;;;BA)(A;;0x00100000;;;WD)", kTrusted, L"O:BAD:(A;;GA;;;BA)(A;;GR;;;WD)", nullptr},
        // A wait on an auto-reset event takes its signal: a request or a reply.
        {kTrusted, L"O:BAD:(A;;GA;;;BA)(A;;0x00100001;;;WD)", kTrusted, ".DoWork\": S-1-1-0 may write (00100001)"},
        {kTrusted, kTrusted, L"O:BAD:(A;;GA;;;BA)(A;;GX;;;AU)", ".WorkDone\": S-1-5-11 may write (20000000)"},
        {L"O:BUD:(A;;GA;;;SY)(A;;GA;;;BA)", kTrusted, kTrusted, ".Section\": owner S-1-5-32-545"},
        {nullptr, kTrusted, kTrusted, ".Section\": no DACL"},
        {L"O:BAD:(A;;GA;;;BA)(A;;GW;;;WD)", kTrusted, kTrusted, ".Section\": S-1-1-0 may write (40000000)"},
        {L"O:BAD:(A;;GA;;;BA)(A;;0x2;;;S-1-5-21-1-2-3-1001)", kTrusted, kTrusted,
         ".Section\": S-1-5-21-1-2-3-1001 may write (00000002)"},
        {L"O:BAD:(A;;GA;;;BA)(A;;0x10;;;WD)", kTrusted, kTrusted, ".Section\": S-1-1-0 may write (00000010)"},
        {kTrusted, kTrusted, L"O:BAD:(A;;GA;;;BA)(A;;0x2;;;WD)", ".WorkDone\": S-1-1-0 may write (00000002)"},
        {kTrusted, L"O:BAD:(A;;GA;;;BA)(A;;WD;;;BU)", kTrusted, ".DoWork\": S-1-5-32-545 may write (00040000)"},
        {kTrusted, L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;BA)", kTrusted, ".DoWork\": owner S-1-5-21-1-2-3-1001"},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        ExpectVerdict(cases[i], static_cast<int>(i));
}

}  // namespace
