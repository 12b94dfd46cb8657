// The registry export request: real reg.exe runs, the launcher seam, the
// bounds of the pair list, more pairs than one wait can hold, and the stop
// support.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "channel_support.h"
#include "diagproto.h"
#include "trace_capture.h"

using channel_test::FakeLauncher;
using channel_test::Harness;
using channel_test::TempPath;
using channel_test::TestKey;
using testing::ElementsAre;
using testing::HasSubstr;
using testing_support::TraceCapture;

namespace {

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t unit : text)
        narrow += static_cast<char>(unit);
    return narrow;
}

std::vector<diagproto::ExportPair> NumberedPairs(size_t count) {
    std::vector<diagproto::ExportPair> pairs;
    for (size_t i = 0; i < count; ++i)
        pairs.push_back({L"HKCU\\Key" + std::to_wstring(i), L"C:\\file" + std::to_wstring(i) + L".reg"});
    return pairs;
}

// Every process handle that the request got is closed after its start, and
// each start's thread handle too: the closes are exactly twice the starts.
// Handle values are reused within a request, so a close is matched to a
// start before it. The real launcher's starts are in the trace; a fake
// launcher's handles are passed in.
void ExpectEveryHandleClosed(const TraceCapture& capture, const std::vector<HANDLE>& fakeProcesses = {}) {
    const auto lines = capture.Lines();
    size_t starts = fakeProcesses.size();
    size_t closes = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("[Winapi::CloseHandle] CloseHandle(") != std::string::npos &&
            lines[i].find("): ok") != std::string::npos)
            ++closes;
        const auto started = channel_test::StartedProcessHandles({lines[i]});
        if (started.empty())
            continue;
        ++starts;
        const std::string close = "[Winapi::CloseHandle] CloseHandle(" + started[0] + "): ok";
        bool closed = false;
        for (size_t j = i + 1; j < lines.size() && !closed; ++j)
            closed = lines[j].find(close) != std::string::npos;
        EXPECT_TRUE(closed) << "process handle " << started[0] << " of line " << i << "\n" << capture.Dump();
    }
    for (HANDLE process : fakeProcesses)
        EXPECT_TRUE(capture.Contains("[Winapi::CloseHandle] CloseHandle(" + channel_test::HandleText(process) + "): ok"))
            << "process handle " << channel_test::HandleText(process);
    EXPECT_GT(starts, 0u);
    EXPECT_EQ(closes, 2 * starts) << capture.Dump();
}

// The largest number of handles in one wait of the request.
size_t LargestWait(const TraceCapture& capture) {
    size_t largest = 0;
    for (const std::string& line : capture.Lines()) {
        const size_t at = line.find("WaitForMultipleObjects(");
        if (at != std::string::npos)
            largest = std::max<size_t>(largest, std::stoul(line.substr(at + 23)));
    }
    return largest;
}

}  // namespace

// --- Real exports -------------------------------------------------------

TEST(Export, OnePairExportsAKeyThatImportsBackEqual) {
    TestKey key(L"roundtrip");
    ASSERT_TRUE(key.SetString(L"", L"Name", L"value one"));
    ASSERT_TRUE(key.SetDword(L"Sub", L"Number", 0x12345678));
    TempPath file(L"roundtrip");
    Harness harness;
    TraceCapture capture;
    harness.Write(diagproto::EncodeExport({{key.Path(), file.Path()}}));

    EXPECT_TRUE(harness.Service->MainLogic());
    const auto reply = harness.Reply();
    EXPECT_EQ(reply.ResultCode, 0);
    EXPECT_EQ(reply.DataSize, 4);
    EXPECT_THAT(reply.Values, ElementsAre(0u));

    const std::string commandLine = "reg.exe export \"" + Narrow(key.Path()) + "\" \"" + Narrow(file.Path()) + "\" /y";
    EXPECT_TRUE(capture.Contains("[Winapi::CreateProcess] CreateProcessW(\"" + Narrow(DiagService::SystemRegExe()) +
                                 "\", " + commandLine + "): ok, "))
        << capture.Dump();
    EXPECT_TRUE(capture.Contains("[DiagService::WorkFunc_ExportRegKeys::<lambda_1>::operator ()] RegSaveInfo: {\"" +
                                 Narrow(key.Path()) + "\", \"" + Narrow(file.Path()) + "\"}"))
        << capture.Dump();
    EXPECT_TRUE(capture.Contains(": All", VqBase::TL_INFO)) << capture.Dump();
    ExpectEveryHandleClosed(capture);

    const auto bytes = file.ReadAll();
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xFE);

    key.Delete();
    ASSERT_FALSE(key.Exists());
    EXPECT_EQ(channel_test::RunAndWait(L"reg.exe import \"" + file.Path() + L"\""), 0u);
    std::wstring text;
    DWORD number = 0;
    EXPECT_TRUE(key.ReadString(L"", L"Name", text));
    EXPECT_EQ(text, L"value one");
    EXPECT_TRUE(key.ReadDword(L"Sub", L"Number", number));
    EXPECT_EQ(number, 0x12345678u);
}

TEST(Export, MissingKeyGivesRegExitCodeWithResultZero) {
    TestKey key(L"missing");
    key.Delete();
    TempPath file(L"missing");
    Harness harness;
    harness.Write(diagproto::EncodeExport({{key.Path(), file.Path()}}));
    EXPECT_TRUE(harness.Service->MainLogic());
    const auto reply = harness.Reply();
    EXPECT_EQ(reply.ResultCode, 0);
    ASSERT_EQ(reply.Values.size(), 1u);
    EXPECT_NE(reply.Values[0], 0u);
    EXPECT_FALSE(file.Exists());
}

TEST(Export, KeyEndingInABackslashAndFileWithBlanksReachRegExactly) {
    TestKey key(L"trailing");
    ASSERT_TRUE(key.SetString(L"", L"v", L"x"));
    TempPath file(L"blanks in name", L"dir with blanks");
    Harness harness;
    TraceCapture capture;
    const std::wstring keyWithBackslash = key.Path() + L"\\";
    harness.Write(diagproto::EncodeExport({{keyWithBackslash, file.Path()}}));
    EXPECT_TRUE(harness.Service->MainLogic());
    EXPECT_EQ(harness.Reply().ResultCode, 0);
    EXPECT_THAT(harness.Reply().Values, ElementsAre(0u));
    EXPECT_TRUE(file.Exists());
    // The trailing backslash is doubled so that the closing quote closes.
    EXPECT_TRUE(capture.Contains("reg.exe\", reg.exe export \"" + Narrow(key.Path()) + "\\\\\" \"" +
                                 Narrow(file.Path()) + "\" /y): ok"))
        << capture.Dump();
}

TEST(Export, KeyWithADoubleQuoteIsOneArgument) {
    TestKey key(L"quote");
    ASSERT_TRUE(key.SetString(L"a\"b", L"v", L"quoted"));
    TempPath file(L"quote");
    TempPath injected(L"injected");
    Harness harness;
    TraceCapture capture;
    // The second key would smuggle a file argument of its own into an
    // unescaped command line.
    const std::wstring quoted = key.Path() + L"\\a\"b";
    const std::wstring smuggling = key.Path() + L"\" \"" + injected.Path();
    TempPath file2(L"quote2");
    harness.Write(diagproto::EncodeExport({{quoted, file.Path()}, {smuggling, file2.Path()}}));
    EXPECT_TRUE(harness.Service->MainLogic());
    const auto reply = harness.Reply();
    EXPECT_EQ(reply.ResultCode, 0);
    ASSERT_EQ(reply.Values.size(), 2u);
    EXPECT_EQ(reply.Values[0], 0u);
    EXPECT_NE(reply.Values[1], 0u);  // no such key
    EXPECT_FALSE(injected.Exists());
    EXPECT_FALSE(file2.Exists());
    const auto bytes = file.ReadAll();
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_THAT(text, HasSubstr(L"\\a\"b]"));
    EXPECT_TRUE(capture.Contains("reg.exe\", reg.exe export \"" + Narrow(key.Path()) + "\\a\\\"b\" \"")) << capture.Dump();
}

// --- The launcher seam --------------------------------------------------

TEST(Export, SecondOfThreeFailsToStart) {
    FakeLauncher launcher;
    launcher.FailAt = {1};
    launcher.FailError = ERROR_FILE_NOT_FOUND;
    Harness harness(diagctl::kDefaultSectionSize, launcher.Starter());
    TraceCapture capture;
    harness.Write(diagproto::EncodeExport(NumberedPairs(3)));
    EXPECT_TRUE(harness.Service->MainLogic());
    const auto reply = harness.Reply();
    EXPECT_EQ(reply.ResultCode, 2);
    EXPECT_EQ(reply.DataSize, 12);
    EXPECT_THAT(reply.Values, ElementsAre(1000u, 2u, 1002u));
    EXPECT_THAT(launcher.CommandLines(),
                ElementsAre(L"reg.exe export \"HKCU\\Key0\" \"C:\\file0.reg\" /y",
                            L"reg.exe export \"HKCU\\Key1\" \"C:\\file1.reg\" /y",
                            L"reg.exe export \"HKCU\\Key2\" \"C:\\file2.reg\" /y"));
    EXPECT_TRUE(capture.Contains("WaitForMultipleObjects(2: {")) << capture.Dump();
    ExpectEveryHandleClosed(capture, launcher.ProcessHandles());
}

TEST(Export, NothingStartedRepliesWithTheStartErrors) {
    FakeLauncher launcher;
    launcher.FailAt = {0, 1};
    launcher.FailError = ERROR_ACCESS_DENIED;
    Harness harness(diagctl::kDefaultSectionSize, launcher.Starter());
    TraceCapture capture;
    harness.Write(diagproto::EncodeExport(NumberedPairs(2)));
    EXPECT_TRUE(harness.Service->MainLogic());
    const auto reply = harness.Reply();
    EXPECT_EQ(reply.ResultCode, 5);
    EXPECT_EQ(reply.DataSize, 8);
    EXPECT_THAT(reply.Values, ElementsAre(5u, 5u));
    EXPECT_FALSE(capture.Contains("WaitForMultipleObjects")) << capture.Dump();
    EXPECT_FALSE(capture.Contains("Can't wait")) << capture.Dump();
}

TEST(Export, EmptyListCannotBeWaitedFor) {
    FakeLauncher launcher;
    Harness harness(diagctl::kDefaultSectionSize, launcher.Starter());
    TraceCapture capture;
    harness.Write(diagproto::EncodeExport({}));
    EXPECT_FALSE(harness.Service->MainLogic());
    EXPECT_EQ(harness.Item()->WorkType, 87);
    EXPECT_EQ(harness.Item()->Data.Size, 0);
    EXPECT_TRUE(capture.Contains("WaitForMultipleObjects(0: {}): Fail, E(00000057)")) << capture.Dump();
    EXPECT_TRUE(capture.Contains("E> [DiagService::WorkFunc_ExportRegKeys] Can't wait process results")) << capture.Dump();
    EXPECT_EQ(launcher.Starts(), 0u);
}

TEST(Export, DataSizeOfTheRequestIsIgnored) {
    for (std::int32_t size : {0, -7, 0x7FFFFFFF}) {
        FakeLauncher launcher;
        Harness harness(diagctl::kDefaultSectionSize, launcher.Starter());
        harness.Write(diagproto::EncodeRequest(1, size, diagproto::EncodePairList(NumberedPairs(1))));
        EXPECT_TRUE(harness.Service->MainLogic()) << size;
        EXPECT_EQ(harness.Reply().ResultCode, 0);
        EXPECT_THAT(harness.Reply().Values, ElementsAre(1000u));
    }
}

// --- The list is checked before anything starts --------------------------

TEST(Export, OddListStartsNothing) {
    FakeLauncher launcher;
    Harness harness(diagctl::kDefaultSectionSize, launcher.Starter());
    TraceCapture capture;
    auto data = diagproto::EncodePairList(NumberedPairs(1));
    data.pop_back();
    data.pop_back();  // the closing empty string becomes a third string
    const std::vector<std::uint8_t> key2 = {'K', 0, '2', 0, 0, 0, 0, 0};
    data.insert(data.end(), key2.begin(), key2.end());
    harness.Write(diagproto::EncodeRequest(1, 0, data));
    EXPECT_FALSE(harness.Service->MainLogic());
    EXPECT_EQ(harness.Item()->WorkType, 13);
    EXPECT_EQ(harness.Item()->Data.Size, 0);
    EXPECT_EQ(launcher.Starts(), 0u);
    EXPECT_FALSE(capture.Contains("CreateProcessW"));
    EXPECT_TRUE(capture.Contains("E> [DiagService::WorkFunc_ExportRegKeys] RegSaveInfo: error reading data (no pair)"))
        << capture.Dump();
}

TEST(Export, ListEndingOnTheLastByteOfTheSectionIsAcceptedAndOneByteLessIsRefused) {
    // 4096 bytes: 8 of header, then key and file of 1000 and 1041 units with
    // their NULs and the closing NUL fill the remaining 4088 bytes exactly.
    const std::vector<diagproto::ExportPair> pairs = {{std::wstring(1000, L'k'), std::wstring(1041, L'f')}};
    const auto request = diagproto::EncodeExport(pairs);
    ASSERT_EQ(request.size(), 4096u);
    {
        FakeLauncher launcher;
        Harness harness(4096, launcher.Starter());
        harness.Write(request);
        EXPECT_TRUE(harness.Service->MainLogic());
        EXPECT_EQ(harness.Reply().ResultCode, 0);
        EXPECT_THAT(harness.Reply().Values, ElementsAre(1000u));
    }
    {
        FakeLauncher launcher;
        Harness harness(4096, launcher.Starter());
        auto unclosed = request;
        unclosed[4094] = 'x';  // the closing NUL is gone; the view ends here
        harness.Write(unclosed);
        TraceCapture capture;
        EXPECT_FALSE(harness.Service->MainLogic());
        EXPECT_EQ(harness.Item()->WorkType, 13);
        EXPECT_EQ(harness.Item()->Data.Size, 0);
        EXPECT_EQ(launcher.Starts(), 0u);
        EXPECT_TRUE(capture.Contains("RegSaveInfo: error reading data (no end of list)", VqBase::TL_ERROR))
            << capture.Dump();
    }
}

// --- More pairs than one wait can hold ------------------------------------

TEST(Export, MorePairsThanOneWaitRunAtMost64AtOnceAndAllReply) {
    for (size_t count : {size_t{65}, size_t{150}}) {
        FakeLauncher launcher;
        Harness harness(diagctl::kDefaultSectionSize, launcher.Starter());
        TraceCapture capture;
        harness.Write(diagproto::EncodeExport(NumberedPairs(count)));
        EXPECT_TRUE(harness.Service->MainLogic());
        const auto reply = harness.Reply();
        EXPECT_EQ(reply.ResultCode, 0);
        EXPECT_EQ(reply.DataSize, static_cast<std::int32_t>(4 * count));
        ASSERT_EQ(reply.Values.size(), count);
        for (size_t i = 0; i < count; ++i)
            EXPECT_EQ(reply.Values[i], 1000u + i) << "pair " << i;
        EXPECT_EQ(LargestWait(capture), 64u);
        EXPECT_FALSE(capture.Contains("Fail")) << capture.Dump();
        // The pairs start in request order.
        const auto lines = launcher.CommandLines();
        ASSERT_EQ(lines.size(), count);
        EXPECT_THAT(lines.back(), HasSubstr(L"Key" + std::to_wstring(count - 1) + L"\""));
        ExpectEveryHandleClosed(capture, launcher.ProcessHandles());
    }
}

// --- Orderly stop ---------------------------------------------------------

TEST(ExportStop, StopRequestedBeforehandStartsNothingAndReportsAborted) {
    FakeLauncher launcher;
    Harness harness(diagctl::kDefaultSectionSize, launcher.Starter());
    harness.Service->m_StopRequested = true;
    harness.Write(diagproto::EncodeExport(NumberedPairs(3)));
    EXPECT_TRUE(harness.Service->MainLogic());
    const auto reply = harness.Reply();
    EXPECT_EQ(reply.ResultCode, 995);
    EXPECT_EQ(reply.DataSize, 12);
    EXPECT_THAT(reply.Values, ElementsAre(995u, 995u, 995u));
    EXPECT_EQ(launcher.Starts(), 0u);
}

namespace {

// Handles the request while another thread aborts the exports once `running`
// of them have started (and had a moment to run); returns MainLogic's verdict.
bool MainLogicAbortedOnceRunning(Harness& harness, FakeLauncher& launcher, size_t running) {
    std::thread control([&] {
        while (launcher.Starts() < running)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        harness.Service->AbortExports();
    });
    const bool carriedOut = harness.Service->MainLogic();
    control.join();
    return carriedOut;
}

}  // namespace

TEST(ExportStop, AbortEndsRunningExportsAndTheRequestCompletes) {
    FakeLauncher launcher;
    launcher.Sleep = true;
    Harness harness(diagctl::kDefaultSectionSize, launcher.Starter());
    TraceCapture capture;
    harness.Write(diagproto::EncodeExport(NumberedPairs(3)));
    EXPECT_TRUE(MainLogicAbortedOnceRunning(harness, launcher, 3));
    const auto reply = harness.Reply();
    EXPECT_EQ(reply.ResultCode, 995);
    EXPECT_THAT(reply.Values, ElementsAre(995u, 995u, 995u));
    EXPECT_EQ(capture.CountContaining("[Winapi::TerminateProcess]"), 3u) << capture.Dump();
    ExpectEveryHandleClosed(capture, launcher.ProcessHandles());
}

TEST(ExportStop, AbortWithPairsWaitingStartsNoneOfThem) {
    FakeLauncher launcher;
    launcher.Sleep = true;
    Harness harness(diagctl::kDefaultSectionSize, launcher.Starter());
    harness.Write(diagproto::EncodeExport(NumberedPairs(70)));
    EXPECT_TRUE(MainLogicAbortedOnceRunning(harness, launcher, 64));
    const auto reply = harness.Reply();
    EXPECT_EQ(reply.ResultCode, 995);
    ASSERT_EQ(reply.Values.size(), 70u);
    for (std::uint32_t code : reply.Values)
        EXPECT_EQ(code, 995u);
    // The first process to end (by the abort) could make room for one more
    // pair only if the stop were not honoured.
    EXPECT_EQ(launcher.Starts(), 64u);
}

namespace {

// The tool's three objects by hand, for a section whose pages are only
// reserved.
struct ReservedChannel {
    ReservedChannel() : Names(diagctl::PrefixedChannelNames(channel_test::UniqueName(L"reserved"))) {
        Section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE, 0, 64 * 1024,
                                     Names.Section.c_str());
        DoWork = CreateEventW(nullptr, FALSE, FALSE, Names.DoWork.c_str());
        WorkDone = CreateEventW(nullptr, FALSE, FALSE, Names.WorkDone.c_str());
        View = MapViewOfFile(Section, FILE_MAP_WRITE, 0, 0, 0);
    }
    ~ReservedChannel() {
        UnmapViewOfFile(View);
        for (HANDLE handle : {WorkDone, DoWork, Section})
            CloseHandle(handle);
    }
    diagctl::ChannelNames Names;
    HANDLE Section, DoWork, WorkDone;
    void* View;
};

}  // namespace

TEST(ExportBounds, ARequestRewrittenWhileItsExportsStartRunsWhatWasChecked) {
    // The launcher rewrites the section at its first start, as a tool could
    // at any moment; every later start must still get the original strings.
    constexpr size_t kPairs = 20;
    Harness* self = nullptr;
    std::vector<std::wstring> commandLines;
    Harness harness(diagctl::kDefaultSectionSize, [&](wchar_t* commandLine, PROCESS_INFORMATION*) {
        if (commandLines.empty())
            std::memset(self->Bytes() + sizeof(WorkItem), 0x41, self->Tool->Size() - sizeof(WorkItem));
        commandLines.emplace_back(commandLine);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    });
    self = &harness;
    const auto pairs = NumberedPairs(kPairs);
    harness.Write(diagproto::EncodeExport(pairs));
    EXPECT_TRUE(harness.Service->MainLogic());
    ASSERT_EQ(commandLines.size(), kPairs);
    for (size_t i = 0; i < kPairs; ++i)
        EXPECT_EQ(commandLines[i], DiagService::ExportCommandLine({pairs[i].Key.c_str(), pairs[i].File.c_str()}));
    const diagproto::Reply reply = harness.Reply();
    EXPECT_EQ(reply.ResultCode, static_cast<std::int32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(reply.Values, std::vector<std::uint32_t>(kPairs, ERROR_FILE_NOT_FOUND));
}

TEST(ExportBounds, OnlyTheCommittedPartOfTheViewIsRead) {
    ReservedChannel tool;
    ASSERT_TRUE(tool.View != nullptr);
    DiagService service(channel_test::ServiceNames(tool.Names), channel_test::FailingLauncher());
    // Nothing committed: not even the request kind can be read, and the line
    // names the function that tried.
    TraceCapture capture;
    EXPECT_FALSE(service.MainLogic());
    EXPECT_EQ(service.LastResult(), 13);
    EXPECT_FALSE(service.WorkFunc_Quit());
    EXPECT_FALSE(service.WorkFunc_ExportRegKeys());
    for (const char* function : {"MainLogic", "WorkFunc_Quit", "WorkFunc_ExportRegKeys"})
        EXPECT_EQ(capture.CountContaining("[DiagService::" + std::string(function) + "] WorkItem: view not committed",
                                          VqBase::TL_ERROR),
                  1u)
            << capture.Dump();

    // One committed page holding a list that runs into the reserved rest.
    ASSERT_TRUE(VirtualAlloc(tool.View, 4096, MEM_COMMIT, PAGE_READWRITE));
    auto* bytes = static_cast<std::uint8_t*>(tool.View);
    std::memset(bytes, 0x41, 4096);
    const std::int32_t header[2] = {1, 0};
    std::memcpy(bytes, header, sizeof(header));
    EXPECT_FALSE(service.MainLogic());
    EXPECT_EQ(static_cast<WorkItem*>(tool.View)->WorkType, 13);
}

TEST(ExportBounds, ControlCharactersOfAKeyCannotForgeTraceLines) {
    TraceCapture capture;
    Harness harness(diagctl::kDefaultSectionSize, channel_test::FailingLauncher());
    harness.Write(diagproto::EncodeExport({{L"HKCU\\A\r\n[forged] line\x7F", L"C:\\a\tb.reg"}}));
    harness.Service->MainLogic();
    for (const std::string& line : capture.Lines())
        EXPECT_EQ(line.find_first_of("\r\n\t\x7F"), std::string::npos) << line;
    EXPECT_TRUE(capture.Contains("{\"HKCU\\A\\x0D\\x0A[forged] line\\x7F\", \"C:\\a\\x09b.reg\"}")) << capture.Dump();
}
