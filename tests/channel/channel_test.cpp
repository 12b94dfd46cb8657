// The shared section and the work events, the dispatch of a request, the
// Quit request, and the service's answer to any bytes in the section.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <random>
#include <thread>

#include "base/VqError.h"
#include "channel_support.h"
#include "diagproto.h"
#include "trace_capture.h"

using channel_test::Harness;
using testing::HasSubstr;
using testing_support::TraceCapture;

namespace {

// The line number, as text, of the first line of the service's source that
// holds fragment: the line an assertion there records.
std::wstring ServiceSourceLine(const std::string& fragment) {
    std::ifstream source(VQ_SERVICE_SOURCE);
    std::string line;
    for (int number = 1; std::getline(source, line); ++number)
        if (line.find(fragment) != std::string::npos)
            return std::to_wstring(number);
    return L"not found";
}

// Opens one of the tool's events with the access the test needs.
HANDLE OpenToolEvent(const std::wstring& name, DWORD access = EVENT_MODIFY_STATE | SYNCHRONIZE) {
    return OpenEventW(access, FALSE, name.c_str());
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& fragment) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(fragment) != std::string::npos)
            return i;
    return lines.size();
}

}  // namespace

// --- Opening and releasing the channel ----------------------------------

TEST(Channel, OpensWithTheSpecifiedAccessAndReleasesInReverseOrder) {
    TraceCapture capture;
    std::string mapping, doWork, workDone, view;
    {
        Harness harness;
        const auto lines = capture.Lines();
        const std::string section = std::string(harness.Names.Section.begin(), harness.Names.Section.end());
        EXPECT_TRUE(capture.Contains("[Winapi::OpenFileMapping] OpenFileMappingW(\"" + section + "\"): ok"))
            << capture.Dump();
        EXPECT_TRUE(capture.Contains("[Winapi::MapViewOfFile] MapViewOfFile(")) << capture.Dump();
        mapping = channel_test::HandleText(harness.Service->m_SharedSection.m_hMapping);
        doWork = channel_test::HandleText(harness.Service->m_Events.m_DoWork.Handle());
        workDone = channel_test::HandleText(harness.Service->m_Events.m_WorkDone.Handle());
        char address[17];
        std::snprintf(address, sizeof(address), "%016X",
                      static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(harness.Service->m_SharedSection.pView)));
        view = address;

        // The service's do-work handle can wait but cannot set; its work-done
        // handle can set but cannot wait.
        EXPECT_FALSE(SetEvent(harness.Service->m_Events.m_DoWork.Handle()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(WaitForSingleObject(harness.Service->m_Events.m_WorkDone.Handle(), 0), WAIT_FAILED);
        capture.Clear();
        harness.Service.reset();
    }
    const auto lines = capture.Lines();
    const size_t closeWorkDone = IndexOf(lines, "CloseHandle(" + workDone + "): ok");
    const size_t closeDoWork = IndexOf(lines, "CloseHandle(" + doWork + "): ok");
    const size_t unmap = IndexOf(lines, "UnmapViewOfFile(0x" + view + "): ok");
    const size_t closeMapping = IndexOf(lines, "CloseHandle(" + mapping + "): ok");
    ASSERT_LT(closeMapping, lines.size()) << capture.Dump();
    EXPECT_LT(closeWorkDone, closeDoWork);
    EXPECT_LT(closeDoWork, unmap);
    EXPECT_LT(unmap, closeMapping);
}

TEST(Channel, MissingSectionRaisesTheAssertion) {
    TraceCapture capture;
    const auto names = diagctl::PrefixedChannelNames(channel_test::UniqueName(L"missing"));
    try {
        DiagService service(channel_test::ServiceNames(names));
        FAIL() << "the service was built without a section";
    } catch (VqBase::CVqError& error) {
        EXPECT_EQ(error.GetCode(), 668u);
        EXPECT_EQ(error.PropertyMap[L"Function"], L"DiagService::SharedSection::SharedSection");
        EXPECT_EQ(error.PropertyMap[L"File"], L"ReRiruRuvazor");
        EXPECT_EQ(error.PropertyMap[L"Line"], ServiceSourceLine("VQ_ASSERT(m_hMapping"));
    }
    EXPECT_TRUE(capture.Contains("E> [DiagService::SharedSection::SharedSection] assert( m_hMapping )"))
        << capture.Dump();
}

TEST(Channel, MissingWorkDoneEventRaisesTheAssertionAndClosesDoWork) {
    const auto names = diagctl::PrefixedChannelNames(channel_test::UniqueName(L"halfway"));
    const HANDLE section =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, names.Section.c_str());
    const HANDLE doWork = CreateEventW(nullptr, FALSE, FALSE, names.DoWork.c_str());
    ASSERT_TRUE(section && doWork);
    TraceCapture capture;
    try {
        DiagService service(channel_test::ServiceNames(names));
        ADD_FAILURE() << "the service was built without a work-done event";
    } catch (VqBase::CVqError& error) {
        EXPECT_EQ(error.GetCode(), 668u);
        EXPECT_EQ(error.PropertyMap[L"Function"], L"DiagService::Events::Events");
        EXPECT_EQ(error.PropertyMap[L"Line"], ServiceSourceLine("VQ_ASSERT(m_WorkDone"));
    }
    EXPECT_TRUE(capture.Contains("E> [DiagService::Events::Events] assert( m_WorkDone )")) << capture.Dump();
    // Both service handles of the do-work event and of the section are closed
    // while the error propagates.
    const auto lines = capture.Lines();
    const size_t assertLine = IndexOf(lines, "assert( m_WorkDone )");
    size_t closes = 0;
    for (size_t i = assertLine; i < lines.size(); ++i)
        closes += lines[i].find("[Winapi::CloseHandle] CloseHandle(") != std::string::npos;
    EXPECT_EQ(closes, 2u) << capture.Dump();
    EXPECT_TRUE(capture.Contains("[Winapi::UnmapViewOfFile]")) << capture.Dump();
    CloseHandle(doWork);
    CloseHandle(section);
}

// --- The handshake --------------------------------------------------------

TEST(Handshake, TwoSignalsBeforeTheServiceWakesGiveOnePass) {
    Harness harness;
    const HANDLE doWork = OpenToolEvent(harness.Names.DoWork);
    ASSERT_NE(doWork, nullptr);
    ASSERT_TRUE(SetEvent(doWork));
    ASSERT_TRUE(SetEvent(doWork));
    EXPECT_EQ(harness.Service->m_Events.WaitForWork(), 0);
    EXPECT_EQ(harness.Service->m_Events.m_DoWork.WaitFor(0), 1);
    CloseHandle(doWork);
}

// After each request the loop takes back a signal that came meanwhile,
// without a line: the loop reports a signal taken.
TEST(Handshake, ASignalThatCameDuringARequestIsTakenBackWithoutTraceLines) {
    Harness harness;
    const HANDLE doWork = OpenToolEvent(harness.Names.DoWork);
    TraceCapture capture;
    EXPECT_FALSE(harness.Service->m_Events.ConsumeSignal());
    ASSERT_TRUE(SetEvent(doWork));
    EXPECT_TRUE(harness.Service->m_Events.ConsumeSignal());
    EXPECT_EQ(capture.Count(), 0u) << capture.Dump();
    EXPECT_EQ(WaitForSingleObject(doWork, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(doWork);
}

TEST(Handshake, ReplyIsCompleteWhenWorkDoneIsSet) {
    channel_test::FakeLauncher launcher;
    Harness harness(diagctl::kDefaultSectionSize, launcher.Starter());
    // The service side of one pass, as the work loop runs it; the tool side
    // reads the record only after work-done.
    std::thread service([&] {
        if (harness.Service->m_Events.WaitForWork() == 0) {
            harness.Service->MainLogic();
            harness.Service->m_Events.SetWorkDone();
        }
    });
    const auto result = harness.Tool->Post(
        diagproto::EncodeExport({{L"K1", L"F1"}, {L"K2", L"F2"}, {L"K3", L"F3"}}), 30000);
    service.join();
    ASSERT_EQ(result, diagctl::PostResult::Replied);
    const auto reply = harness.Reply();
    EXPECT_EQ(reply.ResultCode, 0);
    EXPECT_EQ(reply.DataSize, 12);
    EXPECT_EQ(reply.Values, (std::vector<std::uint32_t>{1000, 1001, 1002}));
}

TEST(Handshake, FailedWaitReportsFailureAndSetsNothing) {
    Harness harness;
    TraceCapture capture;
    // An object that cannot be waited on stands in for a broken do-work
    // handle (the owner keeps the real one open; it leaks for the test).
    harness.Service->m_Events.m_DoWork = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7FFC));
    EXPECT_EQ(harness.Service->m_Events.WaitForWork(), 2);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(capture.Contains("): Fail, E(00000006)", VqBase::TL_ERROR)) << capture.Dump();
    const HANDLE workDone = OpenToolEvent(harness.Names.WorkDone, SYNCHRONIZE);
    EXPECT_EQ(WaitForSingleObject(workDone, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(workDone);
    harness.Service->m_Events.m_DoWork = nullptr;
}

// --- Dispatch and the Quit request ---------------------------------------

TEST(Dispatch, QuitWithEmptyDataIsAccepted) {
    Harness harness;
    TraceCapture capture;
    harness.Write(diagproto::EncodeQuit());
    EXPECT_TRUE(harness.Service->MainLogic());
    EXPECT_EQ(harness.Item()->WorkType, 0);
    EXPECT_EQ(harness.Item()->Data.Size, 0);
    EXPECT_TRUE(capture.Contains("[DiagService::MainLogic] WorkType: Quit", VqBase::TL_INFO)) << capture.Dump();
}

TEST(Dispatch, QuitWithStrayBytesAfterTheHeaderIsAcceptedAndLeavesThemAlone) {
    Harness harness;
    harness.Write(diagproto::EncodeRequest(0, 0, {0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_TRUE(harness.Service->MainLogic());
    EXPECT_EQ(harness.Item()->WorkType, 0);
    EXPECT_EQ(harness.Item()->Data.Size, 0);
    EXPECT_EQ(harness.Bytes()[8], 0xDE);
    EXPECT_EQ(harness.Bytes()[11], 0xEF);
}

TEST(Dispatch, QuitWithAnyDataSizeIsRefused) {
    for (std::int32_t size : {-4, 4, 0x7FFFFFFF}) {
        Harness harness;
        TraceCapture capture;
        harness.Write(diagproto::EncodeRequest(0, size, {}));
        EXPECT_FALSE(harness.Service->MainLogic());
        EXPECT_EQ(harness.Item()->WorkType, 13);
        EXPECT_EQ(harness.Item()->Data.Size, 0);
        EXPECT_TRUE(capture.Contains("E> [DiagService::WorkFunc_Quit] Data.Size: " + std::to_string(size) +
                                     ", expected 0"))
            << capture.Dump();
    }
}

TEST(Dispatch, UnsupportedWorkTypesAreRefusedWithTheSignedValue) {
    for (std::int32_t type : {2, -1, 7, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000)}) {
        Harness harness;
        TraceCapture capture;
        harness.Write(diagproto::EncodeRequest(type, 0, {}));
        EXPECT_FALSE(harness.Service->MainLogic());
        EXPECT_EQ(harness.Item()->WorkType, 13);
        EXPECT_EQ(harness.Item()->Data.Size, 0);
        EXPECT_TRUE(capture.Contains("E> [DiagService::MainLogic] WorkType: " + std::to_string(type) + ", unsupported"))
            << capture.Dump();
    }
}

TEST(Dispatch, WorkFunctionsRefuseAnotherKind) {
    Harness harness;
    TraceCapture capture;
    harness.Write(diagproto::EncodeRequest(1, 0, {}));
    EXPECT_FALSE(harness.Service->WorkFunc_Quit());
    EXPECT_EQ(harness.Item()->WorkType, 13);
    EXPECT_EQ(harness.Item()->Data.Size, 0);
    EXPECT_TRUE(capture.Contains("E> [DiagService::WorkFunc_Quit] WorkType: 1, expected 0 (Quit)")) << capture.Dump();

    harness.Write(diagproto::EncodeRequest(0, 8, {}));
    EXPECT_FALSE(harness.Service->WorkFunc_ExportRegKeys());
    EXPECT_EQ(harness.Item()->WorkType, 13);
    EXPECT_EQ(harness.Item()->Data.Size, 0);
    EXPECT_TRUE(capture.Contains("E> [DiagService::WorkFunc_ExportRegKeys] WorkType: 0, expected 1 (ExportRegKeys)"))
        << capture.Dump();
}

// --- Any bytes in the section --------------------------------------------

TEST(BadInput, RandomBytesAlwaysGetAReplyWithinTheSection) {
    // A launcher that starts nothing keeps this to the service's own logic;
    // a small section keeps long random lists cheap.
    Harness harness(4096, channel_test::FailingLauncher());
    std::mt19937 random(20261207);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> bytes(4096);
        for (auto& byte : bytes)
            byte = static_cast<std::uint8_t>(random());
        // Mostly the two real kinds, so that their parsers see the noise.
        const std::int32_t kinds[] = {0, 1, 1, 1, static_cast<std::int32_t>(random())};
        const std::int32_t type = kinds[round % 5];
        std::memcpy(bytes.data(), &type, sizeof(type));
        // Some rounds thin out the NULs so that lists run to the section's end.
        if (round % 3 == 0)
            for (size_t i = 8; i < bytes.size(); ++i)
                if (bytes[i] == 0)
                    bytes[i] = 1;
        harness.Write(bytes);
        const bool carriedOut = harness.Service->MainLogic();
        const auto reply = harness.Reply();
        ASSERT_TRUE(reply.DataSizeValid) << "round " << round;
        if (!carriedOut) {
            EXPECT_EQ(reply.DataSize, 0) << "round " << round;
        }
        if (type != 0 && type != 1) {
            EXPECT_EQ(reply.ResultCode, 13);
        }
    }
}

TEST(BadInput, SectionFullOfNonZeroUnitsIsRefusedAsUnclosed) {
    channel_test::FakeLauncher launcher;
    Harness harness(8192, launcher.Starter());
    TraceCapture capture;
    std::vector<std::uint8_t> bytes(8192, 0x41);
    const std::int32_t type = 1;
    std::memcpy(bytes.data(), &type, sizeof(type));
    harness.Write(bytes);
    EXPECT_FALSE(harness.Service->MainLogic());
    EXPECT_EQ(harness.Item()->WorkType, 13);
    EXPECT_EQ(harness.Item()->Data.Size, 0);
    EXPECT_EQ(launcher.Starts(), 0u);
    EXPECT_TRUE(capture.Contains("E> [DiagService::WorkFunc_ExportRegKeys] RegSaveInfo: error reading data (no end of list)"))
        << capture.Dump();
}
