// What the service gives up before it serves: its privileges (tried on a
// copy of the test's token, so the test process keeps its own) and the
// process mitigations it asks for, seen through the setters' seam.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "ReRiruRuvazor.h"
#include "base/VqOwners.h"
#include "trace_capture.h"

namespace {

using Hardening = DiagService::Hardening;

VqBase::UniqueHandle CopyOfOwnToken(DWORD access) {
    HANDLE own = nullptr;
    HANDLE copy = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &own)) {
        DuplicateTokenEx(own, access, nullptr, SecurityImpersonation, TokenPrimary, &copy);
        CloseHandle(own);
    }
    return VqBase::UniqueHandle(copy);
}

std::vector<std::wstring> PrivilegeNames(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    std::vector<std::wstring> names;
    if (size == 0 || !GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) return names;
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        LUID luid = privileges->Privileges[i].Luid;
        wchar_t name[128];
        DWORD length = 128;
        if (LookupPrivilegeNameW(nullptr, &luid, name, &length)) names.emplace_back(name, length);
    }
    return names;
}

TEST(Hardening, EveryPrivilegeButTheKeptOnesIsRemovedFromTheToken) {
    const VqBase::UniqueHandle token = CopyOfOwnToken(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES);
    ASSERT_TRUE(token);
    const std::vector<std::wstring> before = PrivilegeNames(token.get());
    ASSERT_GT(before.size(), 1u);
    testing_support::TraceCapture capture;
    const Hardening::Trimmed trimmed = Hardening::TrimPrivileges(token.get());
    EXPECT_EQ(trimmed.Error, 0u) << capture.Dump();
    EXPECT_EQ(PrivilegeNames(token.get()), std::vector<std::wstring>{L"SeChangeNotifyPrivilege"});
    EXPECT_EQ(trimmed.Removed.size(), before.size() - 1);
    // The trace names what went, so an administrator can see it.
    EXPECT_TRUE(capture.Contains("Removed " + std::to_string(before.size() - 1) + ": ")) << capture.Dump();
    EXPECT_TRUE(capture.Contains("SeDebugPrivilege")) << capture.Dump();
    EXPECT_TRUE(capture.Contains("; kept: SeChangeNotifyPrivilege")) << capture.Dump();
}

TEST(Hardening, ATokenThatCannotBeChangedIsReportedWithTheStepThatFailed) {
    const VqBase::UniqueHandle token = CopyOfOwnToken(TOKEN_QUERY);
    ASSERT_TRUE(token);
    const size_t before = PrivilegeNames(token.get()).size();
    const Hardening::Trimmed trimmed = Hardening::TrimPrivileges(token.get());
    EXPECT_EQ(trimmed.Error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(trimmed.Step, L"removing privileges from the token");
    EXPECT_EQ(PrivilegeNames(token.get()).size(), before);
}

TEST(Hardening, TheMitigationsAskedForAreImageLoadExtensionPointsAndTheDllDirectories) {
    std::vector<std::pair<PROCESS_MITIGATION_POLICY, DWORD>> requested;
    DWORD directories = 0;
    const unsigned refused = Hardening::ApplyMitigations(
        [&](PROCESS_MITIGATION_POLICY policy, const void* buffer, size_t size) {
            DWORD flags = 0;
            if (size == sizeof(flags)) std::memcpy(&flags, buffer, sizeof(flags));
            requested.emplace_back(policy, flags);
            return policy != ProcessExtensionPointDisablePolicy;  // one refused: the rest still go
        },
        [&](DWORD flags) {
            directories = flags;
            return true;
        });
    EXPECT_EQ(refused, 1u);
    ASSERT_EQ(requested.size(), 2u);
    PROCESS_MITIGATION_IMAGE_LOAD_POLICY images{};
    images.Flags = requested[0].second;
    EXPECT_EQ(requested[0].first, ProcessImageLoadPolicy);
    EXPECT_TRUE(images.NoRemoteImages && images.NoLowMandatoryLabelImages && images.PreferSystem32Images);
    PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extensions{};
    extensions.Flags = requested[1].second;
    EXPECT_EQ(requested[1].first, ProcessExtensionPointDisablePolicy);
    EXPECT_TRUE(extensions.DisableExtensionPoints);
    // Strict handle checks are not asked for: a latent bad handle would end
    // the service.
    for (const auto& [policy, flags] : requested) EXPECT_NE(policy, ProcessStrictHandleCheckPolicy);
    EXPECT_EQ(directories, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR));
}

}  // namespace
