// The facade: the gate, the marks, silence without configuration, the
// caller's last-error value, failed construction, the singleton.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "base/VqTraceRecord.h"
#include "trace_capture.h"
#include "trace_test_support.h"

using namespace VqBase;
using namespace trace_test;

namespace {

class ThrowingSink : public ITraceRecordSink {
public:
    void OnRecord(DWORD, const char*, size_t) override { throw std::runtime_error("sink"); }
};

}  // namespace

TEST(TraceFacade, NoConfigurationIsSilent) {
    CVqTrace trace(L"FacadeSilent", MissingLocation());
    ASSERT_NE(trace.Impl(), nullptr);
    Records records(*trace.Impl());
    EXPECT_FALSE(trace.IsEnabled());
    EXPECT_FALSE(trace.Reload());
    for (DWORD level : {TL_INFO, TL_WARNING, TL_ERROR, TL_BREAK}) trace.TraceW(level, L"[%s] x", L"t");
    trace.TraceA(TL_ERROR, "[%s] x", "t");
    const BYTE data[2] = {1, 2};
    trace.TraceDump(TL_ERROR, L"d", data, 2, 0);
    EXPECT_TRUE(records.texts.empty());
    EXPECT_EQ(trace.Impl()->m_Config.m_EnableMask.load(), 0u);
    EXPECT_EQ(trace.Impl()->m_Config.m_ParamsMask.load(), 0u);
}

TEST(TraceFacade, LevelGateAndMarks) {
    CVqTrace trace(L"FacadeGate", MissingLocation());
    CTraceImpl& impl = *trace.Impl();
    Records records(impl);

    impl.m_Config.Publish(TL_ERROR, 0x02, 0, 0xFFFFFFFF);
    trace.TraceW(TL_INFO, L"[%s] info", L"f");
    trace.TraceW(TL_ERROR, L"[%s] SetEvent(%016X): E(%08X)", L"Winapi::SetEvent", 0x1F4, 6);
    ASSERT_EQ(records.texts.size(), 1u);
    EXPECT_EQ(records.texts[0], "E> [Winapi::SetEvent] SetEvent(00000000000001F4): E(00000006)\r\n");

    impl.m_Config.Publish(TL_INFO | TL_WARNING | TL_ERROR, 0x02, 0, 0xFFFFFFFF);
    trace.TraceW(TL_WARNING, L"[%s] w", L"f");
    trace.TraceW(TL_WARNING | TL_ERROR, L"[%s] two bits", L"f");
    trace.TraceW(TL_INFO, L"[%s] i", L"f");
    trace.TraceW(TL_BREAK, L"[%s] not enabled", L"f");
    ASSERT_EQ(records.texts.size(), 4u);
    EXPECT_EQ(records.texts[1], "W> [f] w\r\n");
    EXPECT_EQ(records.texts[2], "[f] two bits\r\n");
    EXPECT_EQ(records.texts[3], "[f] i\r\n");
    EXPECT_TRUE(trace.IsLevelEnabled(TL_WARNING | TL_BREAK));
    EXPECT_FALSE(trace.IsLevelEnabled(TL_BREAK));

    // Levels enabled, but no low-byte bit in the parameters: nothing at all.
    impl.m_Config.Publish(0x1E, TP_DATE | TP_TIME | TP_NAME, 0, 0xFFFFFFFF);
    EXPECT_FALSE(trace.IsEnabled());
    trace.TraceW(TL_ERROR, L"[%s] e", L"f");
    EXPECT_EQ(records.texts.size(), 4u);
}

TEST(TraceFacade, QueriesFollowTheMasks) {
    CVqTrace trace(L"FacadeQueries", MissingLocation());
    trace.Impl()->m_Config.Publish(TL_INFO, TP_TIME | 0x02, 0, 0x55);
    EXPECT_TRUE(trace.IsEnabled());
    EXPECT_TRUE(trace.IsTimeEnabled());
    EXPECT_FALSE(trace.IsMsecEnabled());
    EXPECT_TRUE(trace.IsContext(0x55));
    EXPECT_FALSE(trace.IsContext(0x56));
    trace.Impl()->m_Config.Publish(TL_INFO, TP_MSEC | 0x02, 0, 0x55);
    EXPECT_TRUE(trace.IsMsecEnabled());
    EXPECT_FALSE(trace.IsTimeEnabled());
}

TEST(TraceFacade, EmptyFormatAndEmptyDumpWriteNothing) {
    CVqTrace trace(L"FacadeEmpty", MissingLocation());
    Records records(*trace.Impl());
    trace.Impl()->m_Config.Publish(0x1E, 0x02, 0, 0xFFFFFFFF);
    trace.TraceW(TL_ERROR, L"");
    trace.TraceW(TL_ERROR, nullptr);
    trace.TraceA(TL_ERROR, "");
    trace.TraceA(TL_ERROR, nullptr);
    const BYTE data[4] = {};
    trace.TraceDump(TL_ERROR, L"t", nullptr, 4, 0);
    trace.TraceDump(TL_ERROR, L"t", data, 0, 0);
    trace.TraceDump(TL_ERROR, L"", data, 3, 0x80);  // no whole item, no title
    EXPECT_TRUE(records.texts.empty());
    trace.TraceDump(TL_ERROR, L"title", data, 3, 0x80);
    ASSERT_EQ(records.texts.size(), 1u);
    EXPECT_EQ(records.texts[0], "E> title\r\n");
}

TEST(TraceFacade, LastErrorSurvivesEveryCall) {
    TempDir dir;
    TestKey key;
    key.SetNumber(L"FacadeError", L"EnableMask", TL_INFO | TL_ERROR);
    key.SetNumber(L"FacadeError", L"ParamsMask", TP_FILE | TP_THREAD | TP_TIME);
    key.SetString(L"", L"TracePath", dir.Path());

    ::SetLastError(0x1234);
    CVqTrace trace(L"FacadeError", key.Location());
    EXPECT_EQ(::GetLastError(), 0x1234u) << "construction";
    ASSERT_TRUE(trace.IsEnabled());

    auto check = [](const char* what) {
        EXPECT_EQ(::GetLastError(), 0x1234u) << what;
        ::SetLastError(0x1234);
    };
    trace.TraceW(TL_INFO, L"[%s] written", L"f");
    check("TraceW with output");
    trace.TraceW(TL_WARNING, L"[%s] gated", L"f");
    check("TraceW without output");
    trace.TraceA(TL_ERROR, "[%s] narrow", "f");
    check("TraceA");
    const BYTE data[3] = {1, 2, 3};
    trace.TraceDump(TL_INFO, L"d", data, 3, 0);
    check("TraceDump");
    // Two one-line records and the dump of three lines.
    EXPECT_EQ(Lines(ReadBytes(dir / L"FacadeError.log")).size(), 5u);
    ::SetLastError(0x1234);
    EXPECT_TRUE(trace.Reload());
    check("Reload");

    // A file that cannot be opened fails inside the sink; the caller's value
    // still stands.
    trace.Impl()->m_Config.m_FilePath = L"Q:";
    trace.TraceW(TL_INFO, L"[%s] lost", L"f");
    check("failing file sink");

    // An exception from a sink stays inside the trace.
    ThrowingSink thrower;
    trace.Impl()->SetRecordSink(&thrower);
    EXPECT_NO_THROW(trace.TraceW(TL_INFO, L"[%s] throws", L"f"));
    check("throwing sink");
    trace.Impl()->SetRecordSink(nullptr);
}

TEST(TraceFacade, FailedConstructionTellsTheDebuggerOnce) {
    ChildResult child = RunChild(L"FailedConstruction", true);
    EXPECT_EQ(child.exitCode, 0u);
    const auto count = std::count(child.debugStrings.begin(), child.debugStrings.end(),
                                  std::string("Exception raised in CVqTrace::CVqTrace()\n"));
    EXPECT_EQ(count, 1);
    for (const auto& s : child.debugStrings) EXPECT_EQ(s.find("child"), std::string::npos) << s;
}

TEST(TraceFacade, RacingFirstCallsGetOneObject) {
    EXPECT_EQ(RunChild(L"SingletonRace", false).exitCode, 0u);
    EXPECT_EQ(&GetTrace(), &GetTrace());
}

TEST(TraceFacade, CaptureSeamStillWorks) {
    testing_support::TraceCapture capture;
    GetTrace().TraceW(TL_ERROR, L"[%s] SetEvent(%016X): E(%08X)", L"Winapi::SetEvent", 0x1F4, 6);
    GetTrace().TraceW(TL_INFO, L"[%s] wide %s narrow %S", L"f", L"w", "n");
    ASSERT_EQ(capture.Count(), 2u) << capture.Dump();
    EXPECT_EQ(capture.Lines()[0], "E> [Winapi::SetEvent] SetEvent(00000000000001F4): E(00000006)");
    EXPECT_EQ(capture.Lines()[1], "[f] wide w narrow n");
}
