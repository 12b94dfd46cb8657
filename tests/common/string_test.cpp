#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/string.h"
#include "expect_helpers.h"
#include "trace_capture.h"

using common_tests::ExpectVqError;
using testing_support::TraceCapture;

namespace {

TEST(StringCompare, OrdersByUnsignedCodeUnits) {
    EXPECT_EQ(string::compare(L"abc", L"abd"), -1);
    EXPECT_EQ(string::compare(L"abd", L"abc"), 1);
    EXPECT_EQ(string::compare(L"", L""), 0);
    EXPECT_EQ(string::compare(L"stop", L"stop"), 0);
    // No case folding: 'A' (0x41) before 'a' (0x61).
    EXPECT_EQ(string::compare(L"A", L"a"), -1);
    EXPECT_EQ(string::compare(L"a", L"A"), 1);
    // Units of 0x8000 and above are not negative.
    EXPECT_EQ(string::compare(L"\x8000", L"z"), 1);
    EXPECT_EQ(string::compare(L"~", L"\xFFFF"), -1);
    EXPECT_EQ(string::compare(L"a\x8001", L"a\x7FFF"), 1);
}

TEST(StringCompare, ProperPrefixOrdersFirst) {
    EXPECT_EQ(string::compare(L"ab", L"abc"), -1);
    EXPECT_EQ(string::compare(L"abc", L"ab"), 1);
    EXPECT_EQ(string::compare(L"", L"a"), -1);
}

TEST(StringCompare, GreaterIsStrict) {
    EXPECT_TRUE(string::greater(L"stop", L"start"));
    EXPECT_FALSE(string::greater(L"start", L"stop"));
    EXPECT_FALSE(string::greater(L"stop", L"stop"));
}

TEST(StringCompare, KeywordMapFindsExactKeysInDescendingOrder) {
    std::map<const wchar_t*, unsigned, decltype(&string::greater)> keywords(&string::greater);
    keywords[L"create"] = 1;
    keywords[L"delete"] = 2;
    keywords[L"start"] = 3;
    keywords[L"stop"] = 4;

    std::wstring order;
    for (const auto& [key, value] : keywords) order += std::wstring(key) + L" ";
    EXPECT_EQ(order, L"stop start delete create ");

    // Lookups compare contents, not pointers.
    const std::wstring typed = L"start";
    ASSERT_NE(keywords.find(typed.c_str()), keywords.end());
    EXPECT_EQ(keywords.find(typed.c_str())->second, 3u);
    EXPECT_EQ(keywords.find(L"Stop"), keywords.end());
    EXPECT_EQ(keywords.find(L"sto"), keywords.end());
    EXPECT_EQ(keywords.find(L"stops"), keywords.end());
}

TEST(StringCompare, NullArgumentsAreTracedAndThrown) {
    TraceCapture capture;
    auto error = ExpectVqError([] { string::compare(nullptr, L"a"); });
    EXPECT_EQ(error.GetCode(), 87u);
    EXPECT_EQ(error.PropertyMap[L"File"], L"common\\string");
    EXPECT_EQ(error.PropertyMap[L"Function"], L"string::compare");
    ASSERT_EQ(capture.Count(), 1u) << capture.Dump();
    EXPECT_EQ(capture.Records()[0].level, VqBase::TL_ERROR);
    EXPECT_EQ(capture.Lines()[0], "E> [string::compare] String lhs: NULL");

    capture.Clear();
    EXPECT_EQ(ExpectVqError([] { string::compare(L"a", nullptr); }).GetCode(), 87u);
    ASSERT_EQ(capture.Count(), 1u) << capture.Dump();
    EXPECT_EQ(capture.Lines()[0], "E> [string::compare] String rhs: NULL");

    // lhs is reported first when both are missing, and only once.
    capture.Clear();
    EXPECT_EQ(ExpectVqError([] { string::compare(nullptr, nullptr); }).GetCode(), 87u);
    ASSERT_EQ(capture.Count(), 1u) << capture.Dump();
    EXPECT_EQ(capture.Lines()[0], "E> [string::compare] String lhs: NULL");

    capture.Clear();
    EXPECT_EQ(ExpectVqError([] { string::greater(L"a", nullptr); }).GetCode(), 87u);
}

TEST(StringFormat, ClassicWideSpecifiers) {
    EXPECT_EQ(string::format(L"Object %u/%u", 2u, 3u), L"Object 2/3");
    EXPECT_EQ(string::format(L"[%s] %S %li", L"wide", "narrow", -5L), L"[wide] narrow -5");
    EXPECT_EQ(string::format(L"%016X", 0x1A4u), L"00000000000001A4");
}

TEST(StringFormat, EmptyResult) {
    EXPECT_EQ(string::format(L""), L"");
    EXPECT_EQ(string::format(L"%s", L""), L"");
}

TEST(StringFormat, ResultOfAnyLengthIsExact) {
    for (size_t length : {1u, 7u, 8u, 15u, 16u, 255u, 4096u}) {
        const std::wstring text(length, L'x');
        const std::wstring result = string::format(L"%s", text.c_str());
        EXPECT_EQ(result, text) << length;
        EXPECT_EQ(result.size(), length);
    }
}

TEST(StringFormat, StopsAtEmbeddedZero) {
    // A %c of zero ends the text: the result is cut at the first zero.
    EXPECT_EQ(string::format(L"ab%cde", 0), L"ab");
}

TEST(StringFormat, NullFormatIsTracedAndThrownBeforeFormatting) {
    TraceCapture capture;
    auto error = ExpectVqError([] { string::format(nullptr, L"never read"); });
    EXPECT_EQ(error.GetCode(), 87u);
    EXPECT_EQ(error.PropertyMap[L"File"], L"common\\string");
    EXPECT_EQ(error.PropertyMap[L"Function"], L"string::format_impl");
    ASSERT_EQ(capture.Count(), 1u) << capture.Dump();
    EXPECT_EQ(capture.Records()[0].level, VqBase::TL_ERROR);
    EXPECT_EQ(capture.Lines()[0], "E> [string::format_impl] String format: NULL");
}

TEST(StringFormat, RejectedConversionIsTracedAndThrown) {
    // msvcrt's _vsnwprintf answers a width beyond INT_MAX characters with -1
    // (Wine prints unknown conversions literally instead of refusing them).
    TraceCapture capture;
    auto error = ExpectVqError([] { string::format(L"%2147483647d", 1); });
    EXPECT_EQ(error.GetCode(), 13u);
    EXPECT_EQ(error.PropertyMap[L"File"], L"common\\string");
    ASSERT_EQ(capture.Count(), 1u) << capture.Dump();
    EXPECT_EQ(capture.Records()[0].level, VqBase::TL_ERROR);
    EXPECT_EQ(capture.Lines()[0], "E> [string::format_impl] _vsnwprintf(): -1");
}

TEST(StringConversions, DecimalTextAndNullablePointer) {
    EXPECT_EQ(string::to_wstring(0), L"0");
    EXPECT_EQ(string::to_wstring(8), L"8");
    EXPECT_EQ(string::to_wstring(4294967295u), L"4294967295");
    EXPECT_EQ(string::from_ptr(nullptr), L"");
    EXPECT_EQ(string::from_ptr(L""), L"");
    EXPECT_EQ(string::from_ptr(L"reg.exe"), L"reg.exe");
}

}  // namespace
