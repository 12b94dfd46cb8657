// A STOP that arrives while a request is being handled: the request gets a
// bounded time to finish, the client gets a complete reply, and only then
// does the service report STOPPED. These tests run the test build of the
// service, whose launcher starts a stand-in reg.exe; the product's
// executable always runs the system's reg.exe, even with another one beside
// it.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#include "base/VqOwners.h"
#include "service_fixture.h"

namespace {

using e2e::Diagctl;
using e2e::InOrder;
using e2e::ProcessResult;

class StopDuringRequest : public e2e::ServiceFixture {
protected:
    StopDuringRequest() : e2e::ServiceFixture(e2e::InBin(L"vq_test_service.exe")) {}

    struct Outcome {
        diagproto::Reply Reply;
        diagctl::PostResult Posted = diagctl::PostResult::Failed;
        ProcessResult Stop;
    };

    // Posts an export of the keys and, once the service is handling them,
    // stops the service.
    Outcome ExportAndStop(const std::vector<std::wstring>& keys) {
        Outcome outcome;
        std::vector<diagproto::ExportPair> pairs;
        for (const std::wstring& key : keys)
            pairs.push_back({key, m_Trace.Directory() + L"\\out" + std::to_wstring(pairs.size()) + L".reg"});
        const auto request = diagproto::EncodeExport(pairs);
        std::thread client([&] {
            outcome.Posted = m_Channel->Post(request, 60000);
            outcome.Reply = m_Channel->Reply();
        });
        EXPECT_TRUE(m_Trace.WaitFor("vq_fake_reg.exe\", reg.exe export")) << Log();
        outcome.Stop = Diagctl(L"stop");
        client.join();
        return outcome;
    }
};

TEST_F(StopDuringRequest, ARequestThatEndsWithinTheGraceTimeIsCompletedFirst) {
    Start();
    const Outcome outcome = ExportAndStop({L"sleep:1500"});
    ASSERT_EQ(outcome.Posted, diagctl::PostResult::Replied);
    EXPECT_EQ(outcome.Reply.ResultCode, 0);
    EXPECT_EQ(outcome.Reply.Values, (std::vector<std::uint32_t>{7}));
    EXPECT_EQ(outcome.Stop.ExitCode, 0u) << outcome.Stop.Output;
    EXPECT_LT(outcome.Stop.ElapsedMs, 5000u);

    const SERVICE_STATUS status = Stopped();
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    ASSERT_TRUE(m_Trace.WaitFor("STOPPED): ok"));
    const auto lines = m_Trace.Lines();
    // STOP_PENDING at once, then the reply, then STOPPED.
    EXPECT_TRUE(InOrder(lines, {"[DiagService::ControlHandler] Code: SERVICE_CONTROL_STOP", "STOP_PENDING): ok",
                                "GetExitCodeProcess(", "SetEvent(", "[DiagService::Stop] ExitCode: 0 (00000000)",
                                "STOPPED): ok"}))
        << Log();
    EXPECT_EQ(e2e::FindLine(lines, "aborting"), -1) << Log();
}

TEST_F(StopDuringRequest, AtTheBoundAHangingExportIs995AndAFinishedOneKeepsItsCode) {
    Start();
    const Outcome outcome = ExportAndStop({L"sleep:200", L"hang"});
    ASSERT_EQ(outcome.Posted, diagctl::PostResult::Replied);
    EXPECT_EQ(outcome.Reply.ResultCode, 995);
    EXPECT_EQ(outcome.Reply.DataSize, 8);
    EXPECT_EQ(outcome.Reply.Values, (std::vector<std::uint32_t>{7, 995}));
    EXPECT_EQ(outcome.Stop.ExitCode, 0u) << outcome.Stop.Output;
    EXPECT_GE(outcome.Stop.ElapsedMs, 4500u);
    EXPECT_LT(outcome.Stop.ElapsedMs, 9000u);

    const SERVICE_STATUS status = Stopped();
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    ASSERT_TRUE(m_Trace.WaitFor("STOPPED): ok"));
    EXPECT_TRUE(InOrder(m_Trace.Lines(), {"[DiagService::ControlHandler] Code: SERVICE_CONTROL_STOP",
                                          "STOP_PENDING): ok", "aborting", "SetEvent(",
                                          "[DiagService::Stop] ExitCode: 0 (00000000)", "STOPPED): ok"}))
        << Log();
}

// The installer package's step fails at its bound, and says why, while the
// service still finishes a request.
TEST_F(StopDuringRequest, ThePackageStepFailsAtItsBoundAndSaysWhy) {
    Start();
    std::thread client([&] { Post(diagproto::EncodeExport({{L"hang", m_Trace.Directory() + L"\\hang.reg"}}), 60000); });
    EXPECT_TRUE(m_Trace.WaitFor("vq_fake_reg.exe\", reg.exe export")) << Log();
    const ProcessResult bounded = Diagctl(L"package-stop --timeout 1000");
    client.join();
    EXPECT_EQ(bounded.ExitCode, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT)) << bounded.Output;
    EXPECT_NE(bounded.Output.find(") has not stopped within 1000 ms (still STOP_PENDING); the package stops "
                                  "here and leaves the installed version as it is"),
              std::string::npos)
        << bounded.Output;
    EXPECT_EQ(Stopped().dwWin32ExitCode, 0u);
}

// The service's process ended from outside (a crash, a kill) takes its exports
// with it, through its job, instead of leaving them writing as LocalSystem.
TEST_F(StopDuringRequest, ItsExportsEndWithinASecondWhenTheServiceProcessIsKilled) {
    Start();
    const std::wstring file = m_Trace.Directory() + L"\\hang.reg";
    std::thread client([&] { m_Channel->Post(diagproto::EncodeExport({{L"hang", file}, {L"hang", file}}), 3000); });
    DWORD service = 0;
    std::vector<HANDLE> exports;
    for (int i = 0; i < 200 && exports.size() < 2; ++i, Sleep(50)) {
        for (HANDLE process : std::exchange(exports, {})) CloseHandle(process);
        const VqBase::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
            if (lstrcmpiW(entry.szExeFile, L"vq_fake_reg.exe") != 0) continue;
            service = entry.th32ParentProcessID;
            exports.push_back(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
        }
    }
    ASSERT_EQ(exports.size(), 2u) << Log();
    ASSERT_TRUE(TerminateProcess(VqBase::UniqueHandle(OpenProcess(PROCESS_TERMINATE, FALSE, service)).get(), 1));
    EXPECT_EQ(WaitForMultipleObjects(2, exports.data(), TRUE, 1000), WAIT_OBJECT_0);  // within a second
    for (HANDLE process : exports) TerminateProcess(process, 0) && CloseHandle(process);
    client.join();
}

// A second do-work signal while a request runs is taken back, so the reply
// is not read as the next request.
TEST_F(StopDuringRequest, ASecondSignalDuringARequestGivesOneReplyAndTheServiceGoesOn) {
    Start();
    const HANDLE doWork = OpenEventW(EVENT_MODIFY_STATE, FALSE, diagctl::ProductChannelNames().DoWork.c_str());
    ASSERT_NE(doWork, nullptr);
    diagproto::Reply reply;
    std::thread client([&] { reply = Post(diagproto::EncodeExport({{L"sleep:500", m_Trace.Directory() + L"\\a.reg"}})); });
    EXPECT_TRUE(m_Trace.WaitFor("vq_fake_reg.exe\", reg.exe export")) << Log();
    SetEvent(doWork);
    client.join();
    CloseHandle(doWork);
    EXPECT_EQ(reply.ResultCode, 0);
    EXPECT_EQ(reply.Values, (std::vector<std::uint32_t>{7}));
    Sleep(300);
    SERVICE_STATUS status{};
    ASSERT_TRUE(e2e::QueryStatus(status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    // The signal taken back shows as this one line, not as a wait.
    const auto lines = m_Trace.Lines();
    const int taken = e2e::FindLine(lines, "W> [DiagService::ServiceMain] Work requested again during the request: ignored");
    ASSERT_GT(taken, 0) << Log();
    EXPECT_EQ(lines[taken - 1].find("[Common::Event::WaitFor]"), std::string::npos) << Log();
    EXPECT_EQ(e2e::FindLine(lines, "Work requested again", taken + 1), -1) << Log();
    EXPECT_EQ(Post(diagproto::EncodeQuit()).ResultCode, 0);
    EXPECT_EQ(Stopped().dwWin32ExitCode, 0u);
}

// The product's executable in a directory of its own with a stand-in
// reg.exe beside it: the one from the system directory runs all the same.
std::wstring PlantedServiceDirectory() {
    const std::wstring dir = e2e::FreshDirectory(L"vq-e2e-planted");
    e2e::CopyInto(e2e::InBin(L"ReRiruRuvazor.exe"), dir + L"\\ReRiruRuvazor.exe");
    e2e::CopyInto(e2e::InBin(L"vq_fake_reg.exe"), dir + L"\\reg.exe");
    return dir + L"\\ReRiruRuvazor.exe";
}

class PlantedRegExe : public e2e::ServiceFixture {
protected:
    PlantedRegExe() : e2e::ServiceFixture(PlantedServiceDirectory()) {}
};

TEST_F(PlantedRegExe, IsNeverRunInsteadOfTheSystemsOwn) {
    Start();
    const std::wstring file = m_Trace.Directory() + L"\\planted.reg";
    const diagproto::Reply reply = Post(diagproto::EncodeExport({{L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\vqcc0", file}}));
    EXPECT_EQ(reply.ResultCode, 0);
    EXPECT_EQ(reply.Values, (std::vector<std::uint32_t>{0}));
    // Only the real reg.exe writes the file; the stand-in writes nothing.
    std::ifstream exported(std::string(file.begin(), file.end()), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(exported)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 2u) << Log();
    EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE"));
    // The line names the application that ran: the system's reg.exe.
    wchar_t system[MAX_PATH] = {};
    const std::string regExe(system, system + GetSystemDirectoryW(system, MAX_PATH));
    EXPECT_TRUE(m_Trace.WaitFor("CreateProcessW(\"" + regExe + "\\reg.exe\", reg.exe export")) << Log();
    Post(diagproto::EncodeQuit());
    Stopped();
}

}  // namespace
