// The size bound of the log file: the rotation to NAME.1 keeps every line
// whole and in order, and a planted NAME.1 leads nowhere.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "base/VqLogFile.h"
#include "base/VqLogRotation.h"
#include "trace_test_support.h"

using namespace VqBase;
using namespace trace_test;

namespace {

constexpr DWORD kBound = 8192;

size_t FilesIn(const TempDir& dir) {
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) files += entry.is_regular_file() ? 1 : 0;
    return files;
}

std::string Line(int thread, int index) {
    return "[t" + std::to_string(thread) + "] record " + std::to_string(index) + " ..............................";
}

}  // namespace

TEST(TraceRotation, DueOnlyWhenALineWouldPassTheBound) {
    EXPECT_FALSE(RotationDue(100, 28, 128));  // exactly at the bound
    EXPECT_TRUE(RotationDue(100, 29, 128));
    EXPECT_FALSE(RotationDue(0, 500, 128));  // a line longer than the bound goes whole into an empty file
    EXPECT_FALSE(RotationDue(1u << 30, 100, 0));
}

TEST(TraceRotation, ARunPastTheBoundLeavesNameAndName1WithNoLineLostOrSplit) {
    TempDir dir;
    TestKey key;
    FileConfig(key, L"Bounded", dir.Path(), TP_FILE | TP_APPEND);
    key.SetNumber(L"Bounded", L"MaxFileSize", kBound);
    CTraceImpl impl(L"Bounded", key.Location());
    // Four writers, about 1.5 times the bound in all: one rotation.
    constexpr int kThreads = 4, kEach = 45;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&impl, t] {
            for (int i = 0; i < kEach; ++i) TraceNarrow(impl, TL_INFO, "%s", Line(t, i).c_str());
        });
    for (auto& writer : writers) writer.join();

    EXPECT_EQ(FilesIn(dir), 2u);
    const std::string older = ReadBytes(dir / L"Bounded.log.1");
    const std::string newer = ReadBytes(dir / L"Bounded.log");
    EXPECT_LE(older.size(), kBound);
    EXPECT_EQ(newer.rfind(kSeparator, 0), 0u) << "the new file begins with the separator";
    std::multiset<std::string> seen;
    for (const std::string& text : {older, newer.substr(newer.rfind(kSeparator, 0) == 0 ? sizeof(kSeparator) - 1 : 0)})
        for (const std::string& line : Lines(text)) seen.insert(line);
    std::multiset<std::string> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i) expected.insert(Line(t, i));
    // The separator of the first start, in the older file, is its only other content.
    seen.erase("");
    seen.erase("********************************************************************");
    EXPECT_EQ(seen, expected);
}

TEST(TraceRotation, APlantedName1IsReplacedAndWhatItLinksToStaysUntouched) {
    TempDir dir;
    TempDir outside;
    TestKey key;
    const std::wstring precious = outside / L"precious.dat";
    WriteBytes(precious, "precious\r\n");
    // A hard link everywhere; under Wine also a symbolic link, the one
    // redirect Wine follows.
    std::vector<std::wstring> plants{L"hard"};
    if (UnderWine()) plants.push_back(L"symbolic");
    for (const std::wstring& plant : plants) {
        const std::wstring rotated = dir / L"Planted.log.1";
        ::DeleteFileW(rotated.c_str());
        ::DeleteFileW((dir / L"Planted.log").c_str());
        if (plant == L"hard")
            ASSERT_TRUE(::CreateHardLinkW(rotated.c_str(), precious.c_str(), nullptr));
        else
            ASSERT_TRUE(RunUnixShell("ln -s '" + UnixPath(precious) + "' '" + UnixPath(rotated) + "'"));
        FileConfig(key, L"Planted", dir.Path(), TP_FILE | TP_APPEND);
        key.SetNumber(L"Planted", L"MaxFileSize", kBound);
        CTraceImpl impl(L"Planted", key.Location());
        for (int i = 0; i < 200; ++i) TraceNarrow(impl, TL_INFO, "%s", Line(0, i).c_str());
        EXPECT_EQ(ReadBytes(precious), "precious\r\n") << plant;
        // A hard link is moved aside; a link that Wine follows cannot be, so
        // the rotation goes to a fallback file instead.
        const std::wstring holder = plant == L"hard" ? rotated : dir / FallbackFiles(dir, L"Planted.log").at(0);
        EXPECT_NE(ReadBytes(holder).find(Line(0, plant == L"hard" ? 0 : 199)), std::string::npos) << plant;
    }
}

TEST(TraceRotation, ACommonFileBegunByARotationGetsNoSeparator) {
    TempDir dir;
    TestKey key;
    CommonFileConfig(key, L"CommonBound", dir / L"Common.log", TP_FILE | TP_APPEND);
    key.SetNumber(L"CommonBound", L"MaxFileSize", 4096);
    CTraceImpl impl(L"CommonBound", key.Location());
    for (int i = 0; i < 100; ++i) TraceNarrow(impl, TL_INFO, "%s", Line(0, i).c_str());
    ASSERT_TRUE(Exists(dir / L"Common.log.1"));
    // Other programs' lines share it: no start of this one's is marked.
    EXPECT_EQ(ReadBytes(dir / L"Common.log").find("*****"), std::string::npos);
}
