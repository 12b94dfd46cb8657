// What the service gives up before it serves: its privileges (on copies of
// the test's token) and the mitigations it asks for, through their seam.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "ReRiruRuvazor.h"
#include "common/winapi_wrappers.h"
#include "trace_capture.h"

namespace {

using Hardening = DiagService::Hardening;

DWORD PrivilegeCount(HANDLE token) {
    std::vector<BYTE> info;
    Winapi::GetTokenInformation(token, TokenPrivileges, info);
    return info.empty() ? 0 : reinterpret_cast<const TOKEN_PRIVILEGES*>(info.data())->PrivilegeCount;
}

TEST(Hardening, EveryPrivilegeButTheKeptOneIsRemovedOrTheStepThatFailedIsNamed) {
    HANDLE own = nullptr, full = nullptr, readOnly = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &own);
    DuplicateTokenEx(own, TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, nullptr, SecurityImpersonation, TokenPrimary, &full);
    DuplicateTokenEx(own, TOKEN_QUERY, nullptr, SecurityImpersonation, TokenPrimary, &readOnly);
    const DWORD before = PrivilegeCount(full);
    testing_support::TraceCapture capture;
    const Hardening::Trimmed trimmed = Hardening::TrimPrivileges(full);
    EXPECT_EQ(trimmed.Error, 0u) << capture.Dump();
    EXPECT_EQ(PrivilegeCount(full), 1u);  // removed: a disabled privilege would still be listed
    EXPECT_EQ(trimmed.Removed.size(), before - 1);
    EXPECT_TRUE(capture.Contains("SeDebugPrivilege, ")) << capture.Dump();
    EXPECT_TRUE(capture.Contains("; kept: SeChangeNotifyPrivilege")) << capture.Dump();
    const Hardening::Trimmed refused = Hardening::TrimPrivileges(readOnly);
    EXPECT_EQ(refused.Error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(refused.Step, L"removing privileges from the token");
    EXPECT_EQ(PrivilegeCount(readOnly), before);
    for (HANDLE token : {own, full, readOnly}) CloseHandle(token);
}

TEST(Hardening, TheMitigationsAskedForAreImageLoadExtensionPointsAndTheDllDirectories) {
    std::vector<std::pair<PROCESS_MITIGATION_POLICY, DWORD>> requested;
    DWORD directories = 0;
    const unsigned refused = Hardening::ApplyMitigations(
        [&](PROCESS_MITIGATION_POLICY policy, const void* buffer, size_t) {
            requested.emplace_back(policy, *static_cast<const DWORD*>(buffer));
            return policy != ProcessExtensionPointDisablePolicy;  // one refused: the rest still go
        },
        [&](DWORD flags) { return (directories = flags) != 0; });
    EXPECT_EQ(refused, 1u);
    ASSERT_EQ(requested.size(), 2u);  // and so no strict handle checks
    PROCESS_MITIGATION_IMAGE_LOAD_POLICY images{};
    images.Flags = requested[0].second;
    EXPECT_EQ(requested[0].first, ProcessImageLoadPolicy);
    EXPECT_TRUE(images.NoRemoteImages && images.NoLowMandatoryLabelImages && images.PreferSystem32Images);
    EXPECT_EQ(requested[1], std::make_pair(ProcessExtensionPointDisablePolicy, DWORD{1}));
    EXPECT_EQ(directories, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR));
}

}  // namespace
