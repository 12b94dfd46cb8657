// The error object: its properties, debug info, dump and the assertion helper.
#include <gtest/gtest.h>

#include "base/VqError.h"
#include "trace_capture.h"

#include <cwchar>
#include <iterator>
#include <string>

using namespace VqBase;

namespace {

std::wstring Text(const wchar_t* text, size_t length) { return std::wstring(text, length); }

// The length of a multi-string up to (not including) its closing double NUL.
size_t MultiStringLength(const wchar_t* text) {
    size_t length = 0;
    while (text[length] != L'\0' || text[length + 1] != L'\0') ++length;
    return text[0] == L'\0' ? 0 : length + 1;
}

CVqError EntryPointAssertion() { return CVqError(ErrorCode(668), L"main", 76, L"wmain"); }

}  // namespace

TEST(ErrorObject, CodeTextAndGetCodeAgree) {
    CVqError assertion = EntryPointAssertion();
    EXPECT_EQ(assertion.PropertyMap.at(L"Code"), L"0x0000029C");
    EXPECT_EQ(assertion.GetCode(), 668u);
    EXPECT_EQ(assertion.PropertyMap.at(L"Line"), L"76");
    EXPECT_EQ(assertion.PropertyMap.at(L"File"), L"main");
    EXPECT_EQ(assertion.PropertyMap.at(L"Function"), L"wmain");
    EXPECT_STREQ(assertion.GetDescription(), GetErrorText(668).c_str());

    CVqError zero(ErrorCode(0), nullptr, 0, nullptr);
    EXPECT_EQ(zero.PropertyMap.at(L"Code"), L"0x00000000");
    EXPECT_EQ(zero.GetCode(), 0u);
}

TEST(ErrorObject, AllOnesKeepsItsCodeAndDescribesTheLastError) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    CVqError error(ErrorCode(0xFFFFFFFF), L"x", 1, L"f");
    EXPECT_EQ(error.PropertyMap.at(L"Code"), L"0xFFFFFFFF");
    EXPECT_EQ(error.GetCode(), 4294967295u);
    EXPECT_EQ(std::wstring(error.GetDescription()), GetErrorText(ERROR_FILE_NOT_FOUND));
}

TEST(ErrorObject, MissingPositionLeavesOnlyCodeAndDescription) {
    CVqError error(ErrorCode(ERROR_INVALID_PARAMETER), nullptr, 0, nullptr);
    EXPECT_EQ(error.PropertyMap.size(), 2u);
    const std::wstring description = GetErrorText(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(std::wstring(error.GetDump()), L"Code: 0x00000057\r\nDescription: " + description + L"\r\n");
    // The debug info is empty, and once asked for it is listed too.
    EXPECT_STREQ(error.GetDebugInfo(), L"");
    EXPECT_EQ(std::wstring(error.GetDump()),
              L"Code: 0x00000057\r\nDebugInfo: \r\nDescription: " + description + L"\r\n");
}

TEST(ErrorObject, NegativeLineIsStoredUnsigned) {
    CVqError error(ErrorCode(13), L"f", -1, L"g");
    EXPECT_EQ(error.PropertyMap.at(L"Line"), L"4294967295");
}

TEST(ErrorObject, PropertyNamesIgnoreLetterCase) {
    CVqError error = EntryPointAssertion();
    ASSERT_NE(error.PropertyMap.find(L"cODE"), error.PropertyMap.end());
    EXPECT_EQ(error.PropertyMap.find(L"cODE")->first, L"Code");
    EXPECT_EQ(error.PropertyMap[L"DESCRIPTION"], error.GetDescription());
    EXPECT_EQ(error.PropertyMap.size(), 5u);  // no entry was added by the look-ups above
}

TEST(ErrorObject, MissingPropertiesReadAsEmptyEntries) {
    CVqError error = EntryPointAssertion();
    error.PropertyMap.erase(L"Code");
    error.PropertyMap.erase(L"Description");
    EXPECT_EQ(error.GetCode(), 0u);
    EXPECT_STREQ(error.GetDescription(), L"");
    EXPECT_EQ(error.PropertyMap.count(L"Code"), 1u);
    EXPECT_EQ(error.PropertyMap.count(L"Description"), 1u);
    error.PropertyMap[L"Code"] = L"0x29Czz";
    EXPECT_EQ(error.GetCode(), 668u);  // the conversion stops at the first non-digit
}

TEST(ErrorObject, DebugInfoIsAMultiStringOfThePosition) {
    CVqError error = EntryPointAssertion();
    const wchar_t* info = error.GetDebugInfo();
    static constexpr wchar_t kExpected[] = L"File\0main\0Line\0" L"76\0Function\0wmain";
    const size_t expectedLength = std::size(kExpected);  // with the NUL after "wmain"
    ASSERT_EQ(MultiStringLength(info), expectedLength);
    EXPECT_EQ(Text(info, expectedLength + 1), Text(kExpected, expectedLength) + L'\0');
    EXPECT_EQ(error.GetDebugInfo(), info);  // kept, not rebuilt
}

TEST(ErrorObject, DumpListsEveryPropertyInNameOrder) {
    CVqError error = EntryPointAssertion();
    const std::wstring description = error.GetDescription();
    const std::wstring expected = L"Code: 0x0000029C\r\nDescription: " + description +
                                  L"\r\nFile: main\r\nFunction: wmain\r\nLine: 76\r\n";
    const std::wstring first = error.GetDump();
    EXPECT_EQ(first, expected);
    const std::wstring second = error.GetDump();
    EXPECT_EQ(second, first);
    EXPECT_EQ(second.find(L"Dump"), std::wstring::npos);
    EXPECT_EQ(error.ToString(), error.GetDump());
    EXPECT_EQ(std::wstring(error.ToString()), expected);
}

TEST(ErrorObject, DumpAfterDebugInfoCarriesItsNuls) {
    CVqError error = EntryPointAssertion();
    error.GetDebugInfo();
    const wchar_t* dump = error.GetDump();
    // Read as a C string the dump ends inside the DebugInfo line.
    EXPECT_EQ(std::wstring(dump), L"Code: 0x0000029C\r\nDebugInfo: File");
    const std::wstring& whole = error.PropertyMap.at(L"Dump");
    const std::wstring debugLine = std::wstring(L"DebugInfo: File\0main\0Line\0" L"76\0Function\0wmain\0\r\n", 46);
    EXPECT_NE(whole.find(debugLine), std::wstring::npos);
    EXPECT_NE(whole.find(L"\r\nDescription: "), std::wstring::npos);
    EXPECT_LT(whole.find(L"DebugInfo"), whole.find(L"Description"));
}

TEST(ErrorObject, ToStringHonoursAnOverriddenDump) {
    struct Custom : CVqError {
        using CVqError::CVqError;
        const wchar_t* GetDump() override { return L"custom"; }
    } custom(ErrorCode(5), nullptr, 0, nullptr);
    IVqErrorW& error = custom;
    EXPECT_STREQ(error.ToString(), L"custom");
}

TEST(ErrorObject, CopyKeepsEveryProperty) {
    CVqError original = EntryPointAssertion();
    original.GetDebugInfo();
    CVqError copy(original);
    EXPECT_EQ(copy.PropertyMap, original.PropertyMap);
}

TEST(ThrowError, IsCatchableAsInterfaceAndAsObject) {
    try {
        ThrowError(ErrorCode(ERROR_INVALID_DATA), L"common\\string", 42, L"string::format_impl");
        FAIL() << "ThrowError returned";
    } catch (IVqErrorW& error) {
        EXPECT_EQ(error.GetCode(), 13u);
        EXPECT_NE(std::wstring(error.GetDump()).find(L"File: common\\string\r\n"), std::wstring::npos);
    }
    try {
        ThrowError(ErrorCode(ERROR_INVALID_PARAMETER), nullptr, 0, nullptr);
    } catch (const CVqError& thrown) {
        CVqError error(thrown);  // what a by-value handler receives
        EXPECT_EQ(error.GetCode(), 87u);
        EXPECT_EQ(error.PropertyMap.size(), 2u);
    }
}

TEST(Assertion, WritesOneRecordAndThrows668WithThePosition) {
    testing_support::TraceCapture capture;
    int count = 3;
    int expectedLine = 0;
    try {
        expectedLine = __LINE__; VQ_ASSERT((count > 5) && (count & 1), L"tests::assertion", L"tests\\error");
        FAIL() << "the assertion did not throw";
    } catch (CVqError& error) {
        EXPECT_EQ(error.GetCode(), 668u);
        EXPECT_EQ(error.PropertyMap.at(L"File"), L"tests\\error");
        EXPECT_EQ(error.PropertyMap.at(L"Line"), std::to_wstring(expectedLine));
        EXPECT_EQ(error.PropertyMap.at(L"Function"), L"tests::assertion");
    }
    ASSERT_EQ(capture.Count(), 1u) << capture.Dump();
    EXPECT_EQ(capture.Records()[0].level, static_cast<DWORD>(TL_ERROR));
    EXPECT_EQ(capture.Lines()[0], "E> [tests::assertion] assert( (count > 5) && (count & 1) )");
}

TEST(Assertion, HoldingExpressionDoesNothing) {
    testing_support::TraceCapture capture;
    int count = 3;
    EXPECT_NO_THROW(VQ_ASSERT(count == 3, L"tests::assertion", L"tests\\error"));
    EXPECT_EQ(capture.Count(), 0u);
}

TEST(Assertion, NullNamesStillThrow) {
    testing_support::TraceCapture capture;
    try {
        AssertionFailed(nullptr, nullptr, nullptr, 0);
        FAIL() << "AssertionFailed returned";
    } catch (CVqError& error) {
        EXPECT_EQ(error.GetCode(), 668u);
        EXPECT_EQ(error.PropertyMap.size(), 2u);
    }
    EXPECT_EQ(capture.Count(), 1u);
}
