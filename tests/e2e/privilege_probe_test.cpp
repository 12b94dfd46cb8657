// The privileges a reg.exe started by the real service holds, read by a probe
// that stands in for the system's reg.exe in a prefix of this test's own
// (run-with-probe-reg): it writes them into the FILE of its export.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "e2e_support.h"

namespace {

std::string ReadText(const std::wstring& path) {
    std::ifstream file(std::string(path.begin(), path.end()), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The probe run by the test itself holds the test's whole token and no job:
// what the service's reg.exe lacks, the service took away.
TEST(PrivilegeProbe, ARegExeTheServiceStartsHoldsOnlySeChangeNotifyPrivilegeAndRunsInItsJob) {
    const std::wstring directory = e2e::FreshDirectory(L"vq-probe");
    const std::wstring own = directory + L"\\own.txt";
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const e2e::ProcessResult direct =
        e2e::Run(L"\"" + std::wstring(system) + L"\\reg.exe\" export HKLM\\Software \"" + own + L"\" /y");
    ASSERT_EQ(direct.ExitCode, 0u) << direct.Output;
    const std::string ownText = ReadText(own);
    EXPECT_NE(ownText.find("SeDebugPrivilege\n"), std::string::npos) << ownText;
    EXPECT_NE(ownText.find("job: no\n"), std::string::npos) << ownText;

    const e2e::ServiceRegistration registration;
    ASSERT_TRUE(registration.Installed());
    const std::wstring file = directory + L"\\service.txt";
    const e2e::ProcessResult session = e2e::Diagctl(L"session export \"HKLM\\Software=" + file + L"\"");
    EXPECT_EQ(session.ExitCode, 0u) << session.Output;
    EXPECT_EQ(ReadText(file), "SeChangeNotifyPrivilege\njob: yes\n");
}

}  // namespace
