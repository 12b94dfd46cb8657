// The pair-list scan and the command-line quoting: plain functions.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ReRiruRuvazor.h"

namespace {

// A list buffer from strings, each followed by its NUL; no closing NUL is
// added, the test writes it as an empty string.
std::vector<wchar_t> Units(const std::vector<std::wstring>& strings) {
    std::vector<wchar_t> units;
    for (const std::wstring& text : strings) {
        units.insert(units.end(), text.begin(), text.end());
        units.push_back(L'\0');
    }
    return units;
}

DiagService::PairList Scan(const std::vector<wchar_t>& units) {
    return DiagService::ScanPairList(units.data(), units.size());
}

// What CommandLineToArgvW makes of "prog <quoted a> <quoted b>".
std::vector<std::wstring> Reparse(const std::wstring& a, const std::wstring& b) {
    const std::wstring commandLine =
        L"prog " + DiagService::QuoteArgument(a.c_str()) + L" " + DiagService::QuoteArgument(b.c_str());
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> args;
    for (int i = 1; argv != nullptr && i < count; ++i)
        args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}

}  // namespace

TEST(PairListScan, CompletePairsInRequestOrderAreTheServicesOwnCopy) {
    auto units = Units({L"HKCU\\A", L"C:\\a.reg", L"HKCU\\B", L"C:\\b.reg", L""});
    const auto list = Scan(units);
    // The tool may rewrite its buffer at once: the list must not see it.
    std::fill(units.begin(), units.end(), L'X');
    ASSERT_EQ(list.verdict, DiagService::PairList::Complete);
    ASSERT_EQ(list.Pairs.size(), 2u);
    EXPECT_STREQ(list.Pairs[0].Key, L"HKCU\\A");
    EXPECT_STREQ(list.Pairs[0].File, L"C:\\a.reg");
    EXPECT_STREQ(list.Pairs[1].Key, L"HKCU\\B");
    EXPECT_STREQ(list.Pairs[1].File, L"C:\\b.reg");
}

TEST(PairListScan, EmptyListIsCompleteWithoutPairs) {
    const auto list = Scan(Units({L""}));
    EXPECT_EQ(list.verdict, DiagService::PairList::Complete);
    EXPECT_TRUE(list.Pairs.empty());
}

TEST(PairListScan, KeyWithoutFileIsNoPair) {
    const auto list = Scan(Units({L"K1", L"F1", L"K2", L""}));
    EXPECT_EQ(list.verdict, DiagService::PairList::NoPair);
    EXPECT_TRUE(list.Pairs.empty());
}

TEST(PairListScan, ListNotClosedWithinTheBufferIsRefusedWithoutReadingPast) {
    // Each case ends at the buffer's end: an unterminated string, a complete
    // pair without the closing empty string, and nothing at all.
    auto unterminated = Units({L"K1", L"F1"});
    unterminated.insert(unterminated.end(), {L'K', L'2'});
    EXPECT_EQ(Scan(unterminated).verdict, DiagService::PairList::NotClosed);
    EXPECT_EQ(Scan(Units({L"K1", L"F1"})).verdict, DiagService::PairList::NotClosed);
    EXPECT_EQ(DiagService::ScanPairList(nullptr, 0).verdict, DiagService::PairList::NotClosed);
    EXPECT_TRUE(Scan(unterminated).Pairs.empty());

    // The closing NUL as the very last unit is inside the buffer.
    const auto exact = Units({L"K1", L"F1", L""});
    EXPECT_EQ(Scan(exact).verdict, DiagService::PairList::Complete);
    EXPECT_EQ(DiagService::ScanPairList(exact.data(), exact.size() - 1).verdict, DiagService::PairList::NotClosed);
}

TEST(PairListScan, OddListNotClosedCountsAsNotClosed) {
    EXPECT_EQ(Scan(Units({L"K1", L"F1", L"K2"})).verdict, DiagService::PairList::NotClosed);
}

TEST(ExportCommandLine, PlainStringsGiveTheFixedForm) {
    const RegSaveInfo info{L"HKLM\\Software\\Wine", L"C:\\x.reg"};
    EXPECT_EQ(DiagService::ExportCommandLine(info), L"reg.exe export \"HKLM\\Software\\Wine\" \"C:\\x.reg\" /y");
    const RegSaveInfo blanks{L"HKCU\\Software\\a b", L"C:\\dir with blanks\\x y.reg"};
    EXPECT_EQ(DiagService::ExportCommandLine(blanks),
              L"reg.exe export \"HKCU\\Software\\a b\" \"C:\\dir with blanks\\x y.reg\" /y");
}

TEST(ExportCommandLine, QuotingFollowsThePlatformRules) {
    EXPECT_EQ(DiagService::QuoteArgument(L"a\\"), L"\"a\\\\\"");
    EXPECT_EQ(DiagService::QuoteArgument(L"a\"b"), L"\"a\\\"b\"");
    EXPECT_EQ(DiagService::QuoteArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
    EXPECT_EQ(DiagService::QuoteArgument(L"a\\b"), L"\"a\\b\"");
}

TEST(ExportCommandLine, EveryStringComesBackExactlyAsOneArgument) {
    const std::vector<std::wstring> strings = {
        L"HKCU\\Software\\plain",
        L"HKCU\\Software\\trailing\\",
        L"HKCU\\Software\\two trailing\\\\",
        L"C:\\dir with blanks\\file.reg",
        L"HKCU\\Software\\a\"b",
        L"HKCU\\x\" \"C:\\evil.reg",
        L"back\\\\\"slash",
        L"\"",
        L"\\",
        L"\\\"",
        L"tab\there",
        L"unicode \x0416\x0436",
    };
    for (const std::wstring& text : strings) {
        const auto args = Reparse(text, L"second");
        ASSERT_EQ(args.size(), 2u) << "argument split: " << std::string(text.begin(), text.end());
        EXPECT_EQ(args[0], text);
        EXPECT_EQ(args[1], L"second");
    }
}
