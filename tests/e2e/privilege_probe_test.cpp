// What a reg.exe started by the real service holds, read by a probe that
// stands in for the system's reg.exe (run-with-probe-reg).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "e2e_support.h"

namespace {

std::string Probed(const std::wstring& path) {
    std::ifstream file(std::string(path.begin(), path.end()), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Run by the test, the probe holds the test's whole token and no job.
TEST(PrivilegeProbe, ARegExeTheServiceStartsHoldsOnlySeChangeNotifyPrivilegeAndRunsInItsJob) {
    const std::wstring directory = e2e::FreshDirectory(L"vq-probe");
    ASSERT_EQ(e2e::Run(L"reg.exe export HKLM\\Software \"" + directory + L"\\own.txt\" /y").ExitCode, 0u);
    EXPECT_NE(Probed(directory + L"\\own.txt").find("SeDebugPrivilege\n"), std::string::npos);
    const e2e::ServiceRegistration registration;
    ASSERT_TRUE(registration.Installed());
    const e2e::ProcessResult session = e2e::Diagctl(L"session export \"HKLM\\Software=" + directory + L"\\s.txt\"");
    EXPECT_EQ(session.ExitCode, 0u) << session.Output;
    EXPECT_EQ(Probed(directory + L"\\s.txt"), "SeChangeNotifyPrivilege\njob: yes\n");
}

}  // namespace
