// The service's lifecycle pieces that run without the service control
// manager: the status record, the start-up checks, the stop with no handle,
// the control handler's answer to codes it does not act on, and ServiceMain's
// refusals when it cannot become a service.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ReRiruRuvazor.h"
#include "base/VqError.h"
#include "base/VqTrace.h"
#include "trace_capture.h"

namespace {

using testing_support::TraceCapture;
using VqBase::TL_ERROR;
using VqBase::TL_INFO;
using VqBase::TL_WARNING;

// A channel of the test's own, so that a DiagService can be built.
class TestChannel {
public:
    TestChannel() {
        const std::wstring prefix = L"vq.lifecycle." + std::to_wstring(GetCurrentProcessId());
        m_Names.Section = prefix + L".Section";
        m_Names.DoWork = prefix + L".DoWork";
        m_Names.WorkDone = prefix + L".WorkDone";
        m_Handles[0] = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, m_Names.Section.c_str());
        m_Handles[1] = CreateEventW(nullptr, FALSE, FALSE, m_Names.DoWork.c_str());
        m_Handles[2] = CreateEventW(nullptr, FALSE, FALSE, m_Names.WorkDone.c_str());
    }
    ~TestChannel() {
        for (HANDLE handle : m_Handles)
            if (handle)
                CloseHandle(handle);
    }
    const DiagService::ChannelNames& Names() const { return m_Names; }

private:
    DiagService::ChannelNames m_Names;
    HANDLE m_Handles[3] = {};
};

TEST(Status, StartsZeroedWithoutAHandle) {
    const DiagService::Status status;
    EXPECT_EQ(status.m_Handle, nullptr);
    EXPECT_EQ(status.m_Status.dwCurrentState, 0u);
    EXPECT_EQ(status.m_Status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.m_Status.dwWaitHint, 0u);
}

TEST(Status, UpdateWithoutAHandleWarnsAndFailsWithInvalidHandle) {
    TraceCapture capture;
    DiagService::Status status;
    SetLastError(0);
    EXPECT_FALSE(status.Update(SERVICE_RUNNING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(status.m_Status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(capture.CountContaining("[DiagService::Status::Update] Handle: NULL", TL_WARNING), 1u) << capture.Dump();

    // The exit codes are stored even when nothing can be reported.
    EXPECT_FALSE(status.Update(SERVICE_STOP_PENDING, ExitCode{13, 0xFFFFFFFF}));
    EXPECT_EQ(status.m_Status.dwWin32ExitCode, 13u);
    EXPECT_EQ(status.m_Status.dwServiceSpecificExitCode, 0xFFFFFFFFu);
    EXPECT_EQ(status.m_Status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
}

TEST(Status, ASecondHandleReplacesTheFirstWithAWarning) {
    TraceCapture capture;
    DiagService::Status status;
    const auto first = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x1234ABCD);
    const auto second = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5678);
    status = first;
    EXPECT_EQ(capture.Count(), 0u) << capture.Dump();
    status = second;
    EXPECT_EQ(status.m_Handle, second);
    EXPECT_EQ(capture.CountContaining("[DiagService::Status::operator =] Handle: NOT null (000000001234ABCD)", TL_WARNING),
              1u)
        << capture.Dump();
}

TEST(StartUpChecks, OnlyTheServiceNameIsAccepted) {
    TraceCapture capture;
    wchar_t name[] = L"ReRiruRuvazor";
    wchar_t extra[] = L"x";
    LPWSTR one[] = {name, nullptr};
    LPWSTR three[] = {name, extra, extra, nullptr};
    EXPECT_TRUE(DiagService::CheckArgs(1, one));
    EXPECT_EQ(capture.Count(), 0u);
    EXPECT_FALSE(DiagService::CheckArgs(3, three));
    EXPECT_FALSE(DiagService::CheckArgs(0, one));
    EXPECT_FALSE(DiagService::CheckArgs(1, nullptr));
    EXPECT_TRUE(capture.Contains("[DiagService::CheckArgs] ArgCount: 3 (expected 1)", TL_ERROR)) << capture.Dump();
    EXPECT_TRUE(capture.Contains("[DiagService::CheckArgs] ArgCount: 0 (expected 1)", TL_ERROR)) << capture.Dump();
    EXPECT_TRUE(capture.Contains("[DiagService::CheckArgs] ArgVector: NULL", TL_ERROR)) << capture.Dump();
}

class Lifecycle : public ::testing::Test {
protected:
    TestChannel m_Channel;
    std::unique_ptr<DiagService> m_Service = std::make_unique<DiagService>(m_Channel.Names());
};

TEST_F(Lifecycle, StopWithoutAHandleStopsAfterTheFailedPendingReport) {
    TraceCapture capture;
    EXPECT_FALSE(m_Service->Stop(ExitCode{13, 0xFFFFFFFF}));
    EXPECT_TRUE(capture.Contains("[DiagService::Stop] ExitCode: 13 (0000000D)", TL_INFO)) << capture.Dump();
    // STOPPED is not attempted after the failed STOP_PENDING.
    EXPECT_EQ(capture.CountContaining("Handle: NULL"), 1u) << capture.Dump();
    EXPECT_EQ(m_Service->m_Status.m_Status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(m_Service->m_Status.m_Status.dwWin32ExitCode, 13u);
}

TEST_F(Lifecycle, ControlCodesOtherThanStopAndShutdownAreOnlyTraced) {
    TraceCapture capture;
    const SERVICE_STATUS before = m_Service->m_Status.m_Status;
    m_Service->OnControl(SERVICE_CONTROL_INTERROGATE);
    m_Service->OnControl(200);
    EXPECT_EQ(capture.Count(), 2u) << capture.Dump();
    EXPECT_TRUE(capture.Contains("[DiagService::ControlHandler] Code: 4", TL_ERROR)) << capture.Dump();
    EXPECT_TRUE(capture.Contains("[DiagService::ControlHandler] Code: 200", TL_ERROR)) << capture.Dump();
    EXPECT_FALSE(m_Service->m_StopRequested);
    EXPECT_EQ(m_Service->m_Status.m_Status.dwCurrentState, before.dwCurrentState);
}

TEST_F(Lifecycle, StartParametersAreCheckedOnlyOnceTheHandlerIsRegistered) {
    // So that their refusal can reach the service control manager; outside
    // it the registration fails first.
    TraceCapture capture;
    wchar_t name[] = L"ReRiruRuvazor";
    LPWSTR argv[] = {name, name, nullptr};
    m_Service->Run(2, argv, [](DWORD) {});
    EXPECT_TRUE(capture.Contains("RegisterServiceCtrlHandlerW(\"ReRiruRuvazor\")")) << capture.Dump();
    EXPECT_FALSE(capture.Contains("ArgCount")) << capture.Dump();
    EXPECT_EQ(m_Service->m_Status.m_Status.dwWin32ExitCode, 1063u);
    EXPECT_TRUE(m_Service->WaitForServiceThread(0));

    // A null argument vector is registered under the service's own name.
    DiagService second(m_Channel.Names());
    capture.Clear();
    second.Run(0, nullptr, [](DWORD) {});
    EXPECT_TRUE(capture.Contains("RegisterServiceCtrlHandlerW(\"ReRiruRuvazor\")")) << capture.Dump();
}

TEST_F(Lifecycle, OutsideTheServiceControlManagerTheRegistrationFailsWith1063) {
    TraceCapture capture;
    wchar_t name[] = L"ReRiruRuvazor";
    LPWSTR argv[] = {name, nullptr};
    m_Service->Run(1, argv, [](DWORD) {});
    EXPECT_TRUE(capture.Contains("[DiagService::Stop] ExitCode: 1063 (00000427)")) << capture.Dump();
    EXPECT_FALSE(capture.Contains("START_PENDING")) << capture.Dump();
    EXPECT_EQ(m_Service->m_Status.m_Status.dwServiceSpecificExitCode, 0xFFFFFFFFu);
    EXPECT_TRUE(m_Service->WaitForServiceThread(0));
}

TEST_F(Lifecycle, WithoutAServiceThreadThereIsNothingToWaitFor) {
    EXPECT_TRUE(m_Service->WaitForServiceThread(0));
}

TEST(ErrorBoundary, WhatReachesTheControlHandlerOrTheServiceThreadIsTracedWithItsCode) {
    TraceCapture capture;
    const DWORD code = DiagService::Guard(L"DiagService::ControlHandler", [] {
        VqBase::ThrowError(VqBase::ErrorCode(ERROR_INVALID_DATA), L"lifecycle", 1, L"thrower");
    });
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_TRUE(capture.Contains("E> [DiagService::ControlHandler] ", TL_ERROR)) << capture.Dump();
    EXPECT_TRUE(capture.Contains("thrower", TL_ERROR)) << capture.Dump();

    EXPECT_EQ(DiagService::Guard(L"f", [] { throw 1; }), static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_EQ(DiagService::Guard(L"f", [] {}), 0u);
}

}  // namespace
