#include <gtest/gtest.h>

#include "trace_capture.h"

TEST(Smoke, TraceCaptureSeesRecords) {
    testing_support::TraceCapture capture;
    VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] x %u", L"f", 5u);
    ASSERT_EQ(capture.Count(), 1u);
    EXPECT_EQ(capture.Lines()[0], "E> [f] x 5");
}
