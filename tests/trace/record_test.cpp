// The record: prefix fields in their order, the message, the code page, the
// dump.
#include <gtest/gtest.h>

#include <regex>

#include "base/VqTraceRecord.h"
#include "trace_test_support.h"

using namespace VqBase;
using namespace trace_test;

namespace {

SYSTEMTIME Example() {
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = 6;
    t.wHour = 22;
    t.wMinute = 19;
    t.wSecond = 30;
    t.wMilliseconds = 123;
    return t;
}

// The prefix of a record at the example's time and identifiers.
std::string Prefix(DWORD level, DWORD params, DWORD common = 0, const wchar_t* name = L"ReRiruRuvazor") {
    const CTraceTime time(Example());
    const CTraceIds ids{0, 0x1A2C, 0x3F4};
    const std::string field = MakeNameField(name);
    CHeapBuffer record(256);
    EXPECT_TRUE(AppendPrefix(record, {level, params, common, field, &time, &ids}));
    return std::string(record.Data(), record.Size());
}

std::string Hex(DWORD value, int digits) {
    char text[16];
    _snprintf(text, sizeof(text), "%0*X", digits, static_cast<unsigned>(value));
    return text;
}

}  // namespace

TEST(TraceRecord, ExampleLineFieldByField) {
    EXPECT_EQ(Prefix(TL_ERROR, 0xFC01) + "[Winapi::SetEvent] SetEvent(00000000000001F4): E(00000006)",
              "06.12.2026 22:19:30.123[ReRiruRuvazor] [00000000] [1A2C:3F4] E> [Winapi::SetEvent] "
              "SetEvent(00000000000001F4): E(00000006)");
    EXPECT_EQ(Prefix(TL_ERROR, TP_FILE), "E> ");
    EXPECT_EQ(Prefix(TL_ERROR, TP_FILE | TP_TIME), "22:19:30E> ");
    EXPECT_EQ(Prefix(TL_INFO, TP_TIME | TP_MSEC), "22:19:30.123");
    EXPECT_EQ(Prefix(TL_INFO, TP_MSEC), "");
    EXPECT_EQ(Prefix(TL_INFO, TP_DATE), "06.12.2026 ");
    EXPECT_EQ(Prefix(TL_INFO, TP_SESSION), "[00000000] ");
    EXPECT_EQ(Prefix(TL_INFO, TP_THREAD), "[1A2C:3F4] ");
    EXPECT_EQ(Prefix(TL_INFO, 0, 1), "[ReRiruRuvazor] ");
    EXPECT_EQ(Prefix(TL_WARNING, TP_NAME), "[ReRiruRuvazor] W> ");
    EXPECT_EQ(Prefix(TL_BREAK, 0), "");
    EXPECT_EQ(Prefix(TL_ERROR | TL_WARNING, 0), "");
}

TEST(TraceRecord, ExampleLayoutInTheFile) {
    TempDir dir;
    TestKey key;
    key.SetNumber(L"RecExample", L"EnableMask", TL_ERROR);
    key.SetNumber(L"RecExample", L"ParamsMask", 0xFC01);
    key.SetString(L"", L"TracePath", dir.Path());
    CTraceImpl impl(L"RecExample", key.Location());
    Trace(impl, TL_ERROR, L"[%s] SetEvent(%016X): E(%08X)", L"Winapi::SetEvent", 0x1F4, 6);

    DWORD session = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
    const std::string ids = "\\[" + Hex(session, 8) + "\\] \\[" + Hex(::GetCurrentProcessId(), 1) + ":" +
                            Hex(::GetCurrentThreadId(), 1) + "\\] ";
    const std::regex line("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\[RecExample\\] " + ids +
                          "E> \\[Winapi::SetEvent\\] SetEvent\\(00000000000001F4\\): E\\(00000006\\)\r\n");
    const std::string text = ReadBytes(dir / L"RecExample.log");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST(TraceRecord, OnlyTheFileBitGivesTheBareMessage) {
    TempDir dir;
    TestKey key;
    key.SetNumber(L"RecBare", L"EnableMask", TL_ERROR);
    key.SetNumber(L"RecBare", L"ParamsMask", TP_FILE);
    key.SetString(L"", L"TracePath", dir.Path());
    CTraceImpl impl(L"RecBare", key.Location());
    Trace(impl, TL_ERROR, L"[%s] SetEvent(%016X): E(%08X)", L"Winapi::SetEvent", 0x1F4, 6);
    EXPECT_EQ(ReadBytes(dir / L"RecBare.log"), "E> [Winapi::SetEvent] SetEvent(00000000000001F4): E(00000006)\r\n");
}

TEST(TraceRecord, TimeFieldsOfALiveRecord) {
    CTraceImpl impl(L"RecTime", MissingLocation());
    Records records(impl);
    impl.m_Config.Publish(TL_INFO, 0x02 | TP_TIME | TP_MSEC, 0, 0xFFFFFFFF);
    Trace(impl, TL_INFO, L"[%s] t", L"f");
    impl.m_Config.Publish(TL_INFO, 0x02 | TP_TIME, 0, 0xFFFFFFFF);
    Trace(impl, TL_INFO, L"[%s] t", L"f");
    impl.m_Config.Publish(TL_INFO, 0x02 | TP_MSEC, 0, 0xFFFFFFFF);
    Trace(impl, TL_INFO, L"[%s] t", L"f");
    ASSERT_EQ(records.texts.size(), 3u);
    EXPECT_TRUE(std::regex_match(records.texts[0], std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\[f\\] t\r\n")))
        << records.texts[0];
    EXPECT_TRUE(std::regex_match(records.texts[1], std::regex("\\d\\d:\\d\\d:\\d\\d\\[f\\] t\r\n"))) << records.texts[1];
    EXPECT_EQ(records.texts[2], "[f] t\r\n");
}

TEST(TraceRecord, NameField) {
    CTraceImpl impl(L"RecName", MissingLocation());
    Records records(impl);
    impl.m_Config.Publish(TL_INFO, 0x02, 1, 0xFFFFFFFF);  // common file: name without TP_NAME
    Trace(impl, TL_INFO, L"[%s] n", L"f");
    ASSERT_EQ(records.texts.size(), 1u);
    EXPECT_EQ(records.texts[0], "[RecName] [f] n\r\n");

    // A name longer than the field holds is cut to 45 characters.
    const std::wstring longName(60, L'N');
    CTraceImpl longImpl(longName.c_str(), MissingLocation());
    Records longRecords(longImpl);
    longImpl.m_Config.Publish(TL_INFO, 0x02 | TP_NAME, 0, 0xFFFFFFFF);
    Trace(longImpl, TL_INFO, L"x");
    ASSERT_EQ(longRecords.texts.size(), 1u);
    EXPECT_EQ(longRecords.texts[0], "[" + std::string(45, 'N') + "] x\r\n");
    EXPECT_EQ(MakeNameField(std::wstring(45, L'a')).size(), 48u);
}

TEST(TraceRecord, MessageTextAndCodePage) {
    CTraceImpl impl(L"RecText", MissingLocation());
    Records records(impl);
    impl.m_Config.Publish(TL_INFO, 0x02, 0, 0xFFFFFFFF);

    const std::wstring longText(1000, L'L');
    Trace(impl, TL_INFO, L"[%s] %s.", L"f", longText.c_str());
    // U+4E2D has no place in code page 1251; Cyrillic has.
    Trace(impl, TL_INFO, L"[%s] \u4E2D \u041F\u0440\u0438", L"f");
    Trace(impl, TL_INFO, L"[%s] narrow %S, %ls, %hs, %d, %.1f", L"f", "n", L"w", "h", -5, 2.5);
    TraceNarrow(impl, TL_INFO, "[%s] %d", "narrow", 7);
    ASSERT_EQ(records.texts.size(), 4u);
    EXPECT_EQ(records.texts[0], "[f] " + std::string(1000, 'L') + ".\r\n");
    EXPECT_EQ(records.texts[1], "[f] ? \xCF\xF0\xE8\r\n");
    // The message is formatted in the Russian locale: a decimal comma.
    EXPECT_EQ(records.texts[2], "[f] narrow n, w, h, -5, 2,5\r\n");
    EXPECT_EQ(records.texts[3], "[narrow] 7\r\n");
}

TEST(TraceRecord, RefusedConversionIsDroppedNotLooped) {
    CTraceImpl impl(L"RecRefused", MissingLocation());
    Records records(impl);
    impl.m_Config.Publish(TL_INFO, 0x02, 0, 0xFFFFFFFF);
    ::SetLastError(31);
    // A wide character the narrow locale cannot convert fails whatever the
    // room; the buffer must stop growing.
    TraceNarrow(impl, TL_INFO, "[%s] %ls", "f", L"\u4E2D");
    EXPECT_EQ(::GetLastError(), 31u);
    for (const auto& r : records.texts) EXPECT_EQ(r.find("[f]"), 0u) << r;
    TraceNarrow(impl, TL_INFO, "[%s] after", "f");
    ASSERT_FALSE(records.texts.empty());
    EXPECT_EQ(records.texts.back(), "[f] after\r\n");
}

TEST(TraceDumpText, ExampleAndLineEnds) {
    BYTE bytes[40];
    for (int i = 0; i < 40; ++i) bytes[i] = static_cast<BYTE>(i);
    EXPECT_EQ(BuildDumpText(L"Data:", bytes, 20, 0),
              L"Data:\r\n 00: 00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F - 10 11 12 13\r\n");
    EXPECT_EQ(BuildDumpText(L"", bytes, 32, 0),
              L"\r\n 00: 00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F - 10 11 12 13 14 15 16 17 - "
              L"18 19 1A 1B 1C 1D 1E 1F");
    EXPECT_EQ(BuildDumpText(L"", bytes, 33, 0),
              L"\r\n 00: 00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F - 10 11 12 13 14 15 16 17 - "
              L"18 19 1A 1B 1C 1D 1E 1F\r\n 20: 20\r\n");
    EXPECT_EQ(BuildDumpText(L"T", bytes, 3, 0x80), L"T");
    EXPECT_EQ(BuildDumpText(L"", bytes, 3, 0x80), L"");
}

TEST(TraceDumpText, ItemKindsAndOffsets) {
    const DWORD dwords[9] = {0x11223344, 1, 2, 3, 4, 5, 6, 7, 0xDEADBEEF};
    EXPECT_EQ(BuildDumpText(L"", dwords, sizeof(dwords) + 2, 0x80),
              L"\r\n 00: 11223344 00000001 00000002 00000003 00000004 00000005 00000006 00000007"
              L"\r\n 08: DEADBEEF\r\n");
    WORD words[17];
    for (int i = 0; i < 17; ++i) words[i] = static_cast<WORD>(0x0100 * i + i);
    EXPECT_EQ(BuildDumpText(L"w", words, sizeof(words), 0x40),
              L"w\r\n 00: 0000 0101 0202 0303 0404 0505 0606 0707 - 0808 0909 0A0A 0B0B 0C0C 0D0D 0E0E 0F0F"
              L"\r\n 10: 1010\r\n");
    // More than 0xFF items: four-digit offsets counted in items.
    std::vector<BYTE> many(300, 0xAB);
    const std::wstring text = BuildDumpText(L"", many.data(), 300, 0);
    EXPECT_NE(text.find(L"\r\n 0000: AB"), std::wstring::npos);
    EXPECT_NE(text.find(L"\r\n 0120: AB"), std::wstring::npos);
    std::vector<WORD> lots(0x10001, 0);
    EXPECT_NE(BuildDumpText(L"", lots.data(), 0x10001 * 2, 0x40).find(L"\r\n 00010000: 0000\r\n"), std::wstring::npos);

    EXPECT_EQ(FormatNumber(0xAB, 0), L"AB");
    EXPECT_EQ(FormatNumber(0xAB, 0x40), L"00AB");
    EXPECT_EQ(FormatNumber(0xAB, 0x80), L"000000AB");
    EXPECT_EQ(FormatNumber(0xABC, 0), L"ABC");
}

TEST(TraceDumpText, DumpRecord) {
    CTraceImpl impl(L"RecDump", MissingLocation());
    Records records(impl);
    impl.m_Config.Publish(TL_INFO, 0x02, 0, 0xFFFFFFFF);
    BYTE bytes[20];
    for (int i = 0; i < 20; ++i) bytes[i] = static_cast<BYTE>(i);
    impl.TraceDump(TL_INFO, L"Data:", bytes, 20, 0);
    ASSERT_EQ(records.texts.size(), 1u);
    EXPECT_EQ(records.texts[0],
              "Data:\r\n 00: 00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F - 10 11 12 13\r\n\r\n");
}
