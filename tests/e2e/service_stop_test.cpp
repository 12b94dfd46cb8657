// A STOP that arrives while a request is being handled: the request gets a
// bounded time to finish, the client gets a complete reply, and only then
// does the service report STOPPED. The service runs from a directory of its
// own where a stand-in reg.exe is found first.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "service_fixture.h"

namespace {

using e2e::Diagctl;
using e2e::InOrder;
using e2e::ProcessResult;

// The service's copy, next to the stand-in reg.exe (never in the build's bin
// directory, where every other test would find it).
std::wstring PrepareServiceDirectory() {
    const std::wstring dir = e2e::FreshDirectory(L"vq-e2e-stop");
    e2e::CopyInto(e2e::InBin(L"ReRiruRuvazor.exe"), dir + L"\\ReRiruRuvazor.exe");
    e2e::CopyInto(e2e::InBin(L"VqError.dll"), dir + L"\\VqError.dll");
    e2e::CopyInto(e2e::InBin(L"vq_fake_reg.exe"), dir + L"\\reg.exe");
    return dir + L"\\ReRiruRuvazor.exe";
}

class StopDuringRequest : public e2e::ServiceFixture {
protected:
    StopDuringRequest() : e2e::ServiceFixture(PrepareServiceDirectory()) {}

    struct Outcome {
        diagproto::Reply Reply;
        diagctl::PostResult Posted = diagctl::PostResult::Failed;
        ProcessResult Stop;
    };

    // Posts an export of key and, once the service is handling it, stops
    // the service.
    Outcome ExportAndStop(const std::wstring& key) {
        Outcome outcome;
        const auto request = diagproto::EncodeExport({{key, m_Trace.Directory() + L"\\out.reg"}});
        std::thread client([&] {
            outcome.Posted = m_Channel->Post(request, 60000);
            outcome.Reply = m_Channel->Reply();
        });
        EXPECT_TRUE(m_Trace.WaitFor("CreateProcessW(reg.exe export")) << Log();
        outcome.Stop = Diagctl(L"stop");
        client.join();
        return outcome;
    }
};

TEST_F(StopDuringRequest, ARequestThatEndsWithinTheGraceTimeIsCompletedFirst) {
    Start();
    const Outcome outcome = ExportAndStop(L"sleep:1500");
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

TEST_F(StopDuringRequest, AHangingExportIsAbortedWithin5SecondsAndReportedAs995) {
    Start();
    const Outcome outcome = ExportAndStop(L"hang");
    ASSERT_EQ(outcome.Posted, diagctl::PostResult::Replied);
    EXPECT_EQ(outcome.Reply.ResultCode, 995);
    EXPECT_EQ(outcome.Reply.DataSize, 4);
    EXPECT_EQ(outcome.Reply.Values, (std::vector<std::uint32_t>{995}));
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

}  // namespace
