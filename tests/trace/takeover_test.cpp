// Another user in the log directory: a racer on the log's name during
// rotations, objects planted at NAME and NAME.1, a common file held locked,
// a rotation held up. None of them gets a line or loses one.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <set>

#include "VqErrorCodes.h"
#include "base/VqLogFile.h"
#include "base/VqLogVerdict.h"
#include "trace_test_support.h"

using namespace VqBase;
using namespace trace_test;

namespace {

constexpr DWORD kLeastBound = 4096;
constexpr int kLineBytes = 38;  // "line 000001 ", 24 dots, CR LF

void Number(CTraceImpl& impl, int from, int to) {
    for (int n = from; n <= to; ++n) TraceNarrow(impl, TL_INFO, "line %06d ........................", n);
}

// The numbers of the numbered lines of the files, in their order.
std::vector<int> Numbers(const std::vector<std::wstring>& files) {
    std::vector<int> numbers;
    for (const std::wstring& file : files)
        for (const std::string& line : Lines(ReadBytes(file)))
            if (const size_t at = line.find("line "); at != std::string::npos)
                numbers.push_back(std::stoi(line.substr(at + 5, 6)));
    return numbers;
}

std::vector<int> Range(int from, int to) {
    std::vector<int> range(static_cast<size_t>(to - from + 1));
    std::iota(range.begin(), range.end(), from);
    return range;
}

// The event log a trace under test reports to, and what it reported.
struct Events : IEventSink {
    Events() { log.SetSink(this); }
    void OnEvent(const EventRecord& event) override { seen.push_back(event); }
    size_t Count(DWORD id) const {
        return std::count_if(seen.begin(), seen.end(), [id](const EventRecord& e) { return e.Id == id; });
    }
    CEventLog log{L"ReRiruRuvazor-test"};
    std::vector<EventRecord> seen;
};

// An event a child sets, and the environment that names it.
struct ChildEvent {
    explicit ChildEvent(const wchar_t* variable)
        : name(UniqueName(L"VqTraceTest")), handle(::CreateEventW(nullptr, TRUE, FALSE, name.c_str())),
          env(variable, name.c_str()) {}
    std::wstring name;
    UniqueHandle handle;
    EnvOverride env;
};

}  // namespace

TEST(TraceTakeover, ARacerOnTheNameNeverHasItAndTheRotationsLoseNoLine) {
    TempDir dir;
    TestKey key;
    FileConfig(key, L"Raced", dir.Path(), TP_FILE | TP_APPEND);
    key.SetNumber(L"Raced", L"MaxFileSize", kLeastBound);
    CTraceImpl impl(L"Raced", key.Location());
    const EnvOverride file(L"VQ_TRACE_TEST_FILE", (dir / L"Raced.log").c_str());
    ChildEvent stop(L"VQ_TRACE_TEST_STOP"), ready(L"VQ_TRACE_TEST_READY");
    const auto racer = StartChild(L"Racer");
    ASSERT_TRUE(racer);
    ASSERT_EQ(::WaitForSingleObject(ready.handle.get(), 30000), WAIT_OBJECT_0);
    constexpr int kLines = 600;
    Number(impl, 1, kLines);
    ::SetEvent(stop.handle.get());
    ASSERT_TRUE(racer->Wait("the racer"));
    EXPECT_EQ(racer->ExitCode(), 0u) << "times the racer had the log's name";

    // Where each generation begins: the separator, then lines up to the bound.
    int current = 1, previous = 0, rotations = 0;
    for (int n = 1, size = sizeof(kSeparator) - 1; n <= kLines; ++n, size += kLineBytes)
        if (size + kLineBytes > static_cast<int>(kLeastBound)) {
            previous = std::exchange(current, n);
            size = sizeof(kSeparator) - 1;
            ++rotations;
        }
    ASSERT_GE(rotations, 5);
    EXPECT_EQ(Numbers({dir / L"Raced.log.1", dir / L"Raced.log"}), Range(previous, kLines));
    EXPECT_EQ(Numbers({dir / L"Raced.log"}).front(), current);
    for (const wchar_t* name : {L"Raced.log", L"Raced.log.1"})
        EXPECT_LE(ReadBytes(dir / name).size(), kLeastBound) << name;
    EXPECT_TRUE(FallbackFiles(dir, L"Raced.log").empty());
}

TEST(TraceTakeover, PlantsAtNameAndName1AreMovedAsideKeptAndReportedOncePerKind) {
    TempDir dir;
    TestKey key;
    FileConfig(key, L"Planted", dir.Path(), TP_FILE | TP_APPEND);
    key.SetNumber(L"Planted", L"MaxFileSize", kLeastBound);
    const std::wstring name = dir / L"Planted.log", rotated = dir / L"Planted.log.1", precious = dir / L"precious.dat";
    WriteBytes(precious, "precious\r\n");
    ASSERT_TRUE(::CreateDirectoryW(name.c_str(), nullptr));
    ASSERT_TRUE(::CreateHardLinkW(rotated.c_str(), precious.c_str(), nullptr));
    Events events;
    {
        CTraceImpl impl(L"Planted", key.Location(), &events.log);
        // Files of this process's user stand for another user's.
        impl.JudgeFilesAs(std::vector<BYTE>(std::begin(kSidLocalSystem), std::end(kSidLocalSystem)));
        Number(impl, 1, 150);  // a rotation meets the hard link at NAME.1
        // An administrator moves the log away, and another user plants a file.
        ASSERT_TRUE(::MoveFileW(name.c_str(), (dir / L"moved-1.log").c_str()));
        WriteBytes(name, "another user's\r\n");
        Number(impl, 151, 160);
        // Then the same for NAME.1 (a directory) and NAME (a hard link).
        ASSERT_TRUE(::MoveFileW(rotated.c_str(), (dir / L"moved-2.log").c_str()));
        ASSERT_TRUE(::CreateDirectoryW(rotated.c_str(), nullptr));
        ASSERT_TRUE(::MoveFileW(name.c_str(), (dir / L"moved-3.log").c_str()));
        ASSERT_TRUE(::CreateHardLinkW(name.c_str(), precious.c_str(), nullptr));
        Number(impl, 161, 300);  // the next rotation meets the directory
        ASSERT_TRUE(::MoveFileW(rotated.c_str(), (dir / L"moved-4.log").c_str()));
        WriteBytes(rotated, "another user's\r\n");
        Number(impl, 301, 420);  // and the third one another user's file
    }
    EXPECT_EQ(ReadBytes(precious), "precious\r\n");
    EXPECT_EQ(Numbers({dir / L"moved-2.log", dir / L"moved-1.log", dir / L"moved-3.log", dir / L"moved-4.log",
                       rotated, name}),
              Range(1, 420));
    EXPECT_TRUE(FallbackFiles(dir, L"Planted.log").empty());
    // One entry per kind, naming the owner; the count of all six at the stop.
    std::set<std::wstring> kinds;
    for (const EventRecord& event : events.seen)
        if (event.Id == VqMessages::VQ_EVENT_TRACE_PLANT_MOVED && event.Strings[2].rfind(L"S-1-", 0) == 0)
            kinds.insert(event.Strings[0]);
    EXPECT_EQ(kinds.size(), 3u);
    EXPECT_EQ(events.Count(VqMessages::VQ_EVENT_TRACE_PLANT_MOVED), 3u);
    ASSERT_EQ(events.Count(VqMessages::VQ_EVENT_TRACE_PLANTS_COUNT), 1u);
    EXPECT_EQ(events.seen.back().Strings[0], L"6");
    size_t kept = 0, theirs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        if (entry.path().filename().wstring().find(L".planted-") != std::wstring::npos)
            ++kept, theirs += entry.is_regular_file() && ReadBytes(entry.path().wstring()) == "another user's\r\n";
    EXPECT_EQ(kept, 6u);
    EXPECT_EQ(theirs, 2u);
}

namespace {

// What trace check says of the file at path.
LogSinkVerdict Verdict(const std::wstring& path, bool common, DWORD bound) {
    const std::vector<BYTE> self = ProcessUserSid();
    const auto target = WalkLogTarget(path, self, {}, WalkMode::Judge);
    LogFileRules rules{common, true, false, self.data(), nullptr, nullptr, &target->Directory.Path()};
    return JudgeLogSink(*target, rules, bound);
}

}  // namespace

TEST(TraceTakeover, ACommonFileHeldLockedSendsTheLinesToAFallbackFileSaidOnce) {
    TempDir dir;
    TestKey key;
    const std::wstring common = dir / L"Common.log";
    CommonFileConfig(key, L"Locked", common, TP_FILE);
    Events events;
    CTraceImpl impl(L"Locked", key.Location(), &events.log);
    ASSERT_TRUE(Exists(common));
    const EnvOverride file(L"VQ_TRACE_TEST_FILE", common.c_str()), hold(L"VQ_TRACE_TEST_HOLD_MS", L"10000");
    ChildEvent ready(L"VQ_TRACE_TEST_READY");
    const auto holder = StartChild(L"Holder");
    ASSERT_TRUE(holder);
    ASSERT_EQ(::WaitForSingleObject(ready.handle.get(), 30000), WAIT_OBJECT_0);
    const LogSinkVerdict verdict = Verdict(common, true, 0);
    EXPECT_EQ(verdict.Do, LogSinkVerdict::Fallback);
    EXPECT_NE(verdict.Text.find(L"held open by another program"), std::wstring::npos);
    EXPECT_NE(verdict.Text.find(L"Common.fallback-<random>.log"), std::wstring::npos);
    for (int n = 1; n <= 40; ++n, ::Sleep(200)) Number(impl, n, n);
    ASSERT_TRUE(holder->Wait("the holder"));
    Number(impl, 41, 50);  // until the next start, the fallback file
    const std::vector<std::wstring> fallbacks = FallbackFiles(dir, L"Common.log");
    ASSERT_EQ(fallbacks.size(), 1u);
    const std::wstring& fallback = fallbacks[0];
    EXPECT_EQ(Numbers({dir / fallback}), Range(1, 50));
    EXPECT_EQ(events.Count(VqMessages::VQ_EVENT_TRACE_FALLBACK), 1u);
    const std::string text = ReadBytes(dir / fallback);
    EXPECT_NE(text.find("Common.log\" cannot be written: "), std::string::npos) << text;
    EXPECT_NE(text.find("its lines go to \""), std::string::npos) << text;
    EXPECT_EQ(ReadBytes(common), "");
}

TEST(TraceTakeover, ABlockedRotationGoesToBoundedFallbackGenerationsAndTheVerdictsSaySo) {
    TempDir dir;
    TestKey key;
    FileConfig(key, L"Blocked", dir.Path(), TP_FILE | TP_APPEND);
    key.SetNumber(L"Blocked", L"MaxFileSize", kLeastBound);
    const std::wstring name = dir / L"Blocked.log", rotated = dir / L"Blocked.log.1";
    ASSERT_TRUE(::CreateDirectoryW(name.c_str(), nullptr));
    LogSinkVerdict verdict = Verdict(name, false, kLeastBound);
    EXPECT_EQ(verdict.Do, LogSinkVerdict::Write);
    EXPECT_NE(verdict.Text.find(L"first it moves a directory that stands there aside to Blocked.log.planted-"),
              std::wstring::npos);
    // Another program holds NAME.1 open without delete sharing.
    WriteBytes(rotated, "older\r\n");
    const UniqueHandle held(::CreateFileW(rotated.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    verdict = Verdict(name, false, kLeastBound);
    EXPECT_EQ(verdict.Do, LogSinkVerdict::Fallback);
    EXPECT_NE(verdict.Text.find(L"its rotation will be blocked"), std::wstring::npos);

    Events events;
    {
        CTraceImpl impl(L"Blocked", key.Location(), &events.log);
        Number(impl, 1, 400);
    }
    EXPECT_EQ(events.Count(VqMessages::VQ_EVENT_TRACE_ROTATION_BLOCKED), 1u);
    EXPECT_EQ(ReadBytes(rotated), "older\r\n");
    EXPECT_LE(ReadBytes(name).size(), kLeastBound);
    // Two generations kept, each within the bound, with the last lines.
    const std::vector<std::wstring> fallbacks = FallbackFiles(dir, L"Blocked.log");
    ASSERT_EQ(fallbacks.size(), 2u);
    std::vector<int> last;
    for (const std::wstring& fallback : fallbacks) {
        EXPECT_LE(ReadBytes(dir / fallback).size(), kLeastBound);
        for (int n : Numbers({dir / fallback})) last.push_back(n);
    }
    std::sort(last.begin(), last.end());
    EXPECT_EQ(last, Range(last.front(), 400));
    EXPECT_EQ(Numbers({name}).front(), 1);
}
