#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/performance.h"
#include "trace_capture.h"

using testing_support::TraceCapture;

std::int64_t FrequencySeenByALateLinkedStatic();

namespace {

// Built in this unit's ordinary static initialisation, which must come after
// the library's early read of the counter frequency, whatever the link order.
struct FrequencySeenAtStartup {
    std::int64_t value = performance::counter_frequency();
} g_SeenAtStartup;

// A scripted counter: each read returns the next value.
std::int64_t g_Ticks[2];
int g_Reads;
std::int64_t ScriptedCounter() { return g_Ticks[g_Reads++ % 2]; }
void Script(std::int64_t start, std::int64_t stop) {
    g_Ticks[0] = start;
    g_Ticks[1] = stop;
    g_Reads = 0;
}

// The decimal separator of the trace's message locale ("2,500" with the
// Russian one, "2.500" without a locale).
std::string Milliseconds(double value) {
    wchar_t text[32] = {};
    auto* impl = VqBase::GetTrace().Impl();
    if (impl && impl->m_Locale)
        _snwprintf_l(text, 31, L"%.3f", impl->m_Locale, value);
    else
        _snwprintf(text, 31, L"%.3f", value);
    return std::string(text, text + wcslen(text));
}

TEST(ScopeTimer, FrequencyIsReadBeforeOtherStatics) {
    EXPECT_GT(g_SeenAtStartup.value, 0);
    EXPECT_EQ(g_SeenAtStartup.value, performance::code_execution::get_counter_frequency());
    EXPECT_EQ(FrequencySeenByALateLinkedStatic(), performance::code_execution::get_counter_frequency());
    EXPECT_EQ(performance::counter_frequency(), performance::code_execution::get_counter_frequency());
}

TEST(ScopeTimer, CounterAdvances) {
    const auto first = performance::code_execution::get_counter_value();
    Sleep(2);
    EXPECT_GT(performance::code_execution::get_counter_value(), first);
}

TEST(ScopeTimer, NonMeasuringScopeWritesEntryAndExitLines) {
    TraceCapture capture;
    {
        performance::code_execution scope(L"Common::Event::WaitFor", false);
        VqBase::GetTrace().TraceW(VqBase::TL_INFO, L"[%s] work", L"test");
    }
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 3u) << capture.Dump();
    EXPECT_EQ(records[0].text, "[Common::Event::WaitFor] <<");
    EXPECT_EQ(records[0].level, VqBase::TL_INFO);
    EXPECT_EQ(records[1].text, "[test] work");
    EXPECT_EQ(records[2].text, "[Common::Event::WaitFor] >>");
    EXPECT_EQ(records[2].level, VqBase::TL_INFO);
}

TEST(ScopeTimer, NonMeasuringScopeNeverReadsTheCounter) {
    Script(1, 2);
    { performance::code_execution scope(L"quiet", false, &ScriptedCounter, 10'000'000); }
    EXPECT_EQ(g_Reads, 0);
}

TEST(ScopeTimer, MeasuringScopeReportsMilliseconds) {
    TraceCapture capture;
    Script(1'000'000, 1'025'000);
    {
        performance::code_execution scope(L"Measured", true, &ScriptedCounter, 10'000'000);
        // The entry line is written before the clock starts.
        EXPECT_EQ(g_Reads, 1);
        EXPECT_EQ(capture.Count(), 1u);
    }
    EXPECT_EQ(g_Reads, 2);
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 2u) << capture.Dump();
    EXPECT_EQ(records[0].text, "[Measured] <<");
    EXPECT_EQ(records[1].text, "[Measured] >> ~" + Milliseconds(2.5) + " ms");
    EXPECT_EQ(records[1].level, VqBase::TL_INFO);
}

TEST(ScopeTimer, MeasuringScopeOfZeroTicks) {
    TraceCapture capture;
    Script(500, 500);
    { performance::code_execution scope(L"Instant", true, &ScriptedCounter, 10'000'000); }
    ASSERT_EQ(capture.Count(), 2u) << capture.Dump();
    EXPECT_EQ(capture.Lines()[1], "[Instant] >> ~" + Milliseconds(0.0) + " ms");
}

TEST(ScopeTimer, ExitLineIsWrittenWhenAnExceptionLeavesTheScope) {
    TraceCapture capture;
    Script(10, 10'010);
    EXPECT_THROW(
        {
            performance::code_execution scope(L"Throwing", true, &ScriptedCounter, 10'000'000);
            throw std::runtime_error("leaves the scope");
        },
        std::runtime_error);
    ASSERT_EQ(capture.Count(), 2u) << capture.Dump();
    EXPECT_EQ(capture.Lines()[1], "[Throwing] >> ~" + Milliseconds(1.0) + " ms");

    capture.Clear();
    EXPECT_THROW(
        {
            performance::code_execution scope(L"Plain", false);
            throw std::runtime_error("leaves the scope");
        },
        std::runtime_error);
    ASSERT_EQ(capture.Count(), 2u) << capture.Dump();
    EXPECT_EQ(capture.Lines()[1], "[Plain] >>");
}

TEST(ScopeTimer, ProductPathMeasuresWithThePerformanceCounter) {
    TraceCapture capture;
    {
        performance::code_execution scope(L"Real", true);
        Sleep(20);
    }
    ASSERT_EQ(capture.Count(), 2u) << capture.Dump();
    const std::string line = capture.Lines()[1];
    const std::string head = "[Real] >> ~";
    ASSERT_EQ(line.rfind(head, 0), 0u) << line;
    ASSERT_EQ(line.substr(line.size() - 3), " ms") << line;
    std::string number = line.substr(head.size(), line.size() - head.size() - 3);
    for (auto& c : number)
        if (c == ',') c = '.';
    const double ms = std::stod(number);
    EXPECT_GE(ms, 15.0) << line;
    EXPECT_LT(ms, 5000.0) << line;
}

TEST(ScopeTimer, ExitLineKeepsTheLastError) {
    TraceCapture capture;
    {
        performance::code_execution scope(L"Keeps", false);
        SetLastError(ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
