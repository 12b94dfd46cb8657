// The sinks: the log file at start and per record, the console, the
// debugger, and records from several writers.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "base/VqLogFile.h"
#include "base/VqTraceRecord.h"
#include "trace_test_support.h"

using namespace VqBase;
using namespace trace_test;

namespace {
const std::string kSeparatorText(kSeparator, sizeof(kSeparator) - 1);

}  // namespace

TEST(TraceFileSink, PrivateFileAtStart) {
    TempDir dir;
    TestKey key;
    const std::wstring file = dir / L"SinkPrivate.log";
    ASSERT_EQ(kSeparatorText.size(), 74u);

    WriteBytes(file, "old\r\n");
    FileConfig(key, L"SinkPrivate", dir.Path(), TP_FILE);
    {
        CTraceImpl impl(L"SinkPrivate", key.Location());
        EXPECT_EQ(ReadBytes(file), "") << "emptied without TP_APPEND";
        Trace(impl, TL_INFO, L"[%s] one", L"f");
    }
    EXPECT_EQ(ReadBytes(file), "[f] one\r\n");

    FileConfig(key, L"SinkPrivate", dir.Path(), TP_FILE | TP_APPEND);
    {
        CTraceImpl impl(L"SinkPrivate", key.Location());
        Trace(impl, TL_INFO, L"[%s] two", L"f");
    }
    EXPECT_EQ(ReadBytes(file), "[f] one\r\n" + kSeparatorText + "[f] two\r\n");
}

TEST(TraceFileSink, CommonFileIsNeverEmptiedNorSeparated) {
    TempDir dir;
    TestKey key;
    const std::wstring file = dir / L"shared.txt";
    WriteBytes(file, "old\r\n");
    for (DWORD params : {DWORD{TP_FILE}, DWORD{TP_FILE | TP_APPEND}}) {
        CommonFileConfig(key, L"SinkCommon", file, params);
        CTraceImpl impl(L"SinkCommon", key.Location());
        Trace(impl, TL_INFO, L"[%s] p%X", L"f", params);
    }
    EXPECT_EQ(ReadBytes(file), "old\r\n[SinkCommon] [f] p1\r\n[SinkCommon] [f] p101\r\n");
}

TEST(TraceFileSink, MissingDirectoryAndDeletedFileAreCreated) {
    TempDir dir;
    TestKey key;
    const std::wstring logDir = dir / L"new\\logs";
    FileConfig(key, L"SinkCreate", logDir, TP_FILE);
    CTraceImpl impl(L"SinkCreate", key.Location());
    const std::wstring file = logDir + L"\\SinkCreate.log";
    EXPECT_TRUE(Exists(logDir));
    EXPECT_TRUE(Exists(file)) << "prepared at start";
    Trace(impl, TL_INFO, L"[%s] first", L"f");
    EXPECT_EQ(ReadBytes(file), "[f] first\r\n");

    ASSERT_TRUE(::DeleteFileW(file.c_str()));
    Trace(impl, TL_INFO, L"[%s] again", L"f");
    EXPECT_EQ(ReadBytes(file), "[f] again\r\n");

    // Even the directories may go while the program runs.
    ASSERT_TRUE(::DeleteFileW(file.c_str()));
    ASSERT_TRUE(::RemoveDirectoryW(logDir.c_str()));
    Trace(impl, TL_WARNING, L"[%s] recreated", L"f");
    EXPECT_EQ(ReadBytes(file), "W> [f] recreated\r\n");
}

TEST(TraceFileSink, SwitchedOffByItsLevelsItTouchesNoFileAtStart) {
    TempDir dir;
    TestKey key;
    WriteBytes(dir / L"Off.log", "kept\r\n");
    // Without TP_APPEND a start would empty it; a missing directory would be made.
    for (const std::wstring& path : {dir.Path(), dir / L"new"}) {
        FileConfig(key, L"Off", path, TP_FILE);
        key.SetNumber(L"Off", L"EnableMask", 0);
        CTraceImpl impl(L"Off", key.Location());
    }
    EXPECT_EQ(ReadBytes(dir / L"Off.log"), "kept\r\n");
    EXPECT_FALSE(Exists(dir / L"new"));
}

TEST(TraceFileSink, UnopenableFileLosesOnlyTheFileRecord) {
    CTraceImpl impl(L"SinkLost", MissingLocation());
    struct Sink : ITraceRecordSink {
        std::vector<std::string> records;
        void OnRecord(DWORD, const char* record, size_t size) override { records.emplace_back(record, size); }
    } sink;
    impl.SetRecordSink(&sink);
    impl.m_Config.m_FilePath = L"f.log-without-directory:*?";
    // The loss is a warning: a trace without that level does not say it.
    impl.m_Config.Publish(TL_INFO, TP_FILE, 0, 0xFFFFFFFF);
    Trace(impl, TL_INFO, L"[%s] x", L"f");
    EXPECT_EQ(sink.records, std::vector<std::string>{"[f] x\r\n"});
    sink.records.clear();
    CTraceImpl warned(L"SinkLost", MissingLocation());
    warned.SetRecordSink(&sink);
    warned.m_Config.m_FilePath = impl.m_Config.m_FilePath;
    warned.m_Config.Publish(TL_INFO | TL_WARNING, TP_FILE, 0, 0xFFFFFFFF);
    Trace(warned, TL_INFO, L"[%s] x", L"f");
    Trace(warned, TL_INFO, L"[%s] y", L"f");
    // Every record reaches the other sinks, and the loss is said once.
    ASSERT_EQ(sink.records.size(), 3u);
    EXPECT_EQ(sink.records[0], "[f] x\r\n");
    EXPECT_EQ(sink.records[1],
              "W> [VqBase::CTraceImpl::OpenFile] Trace file \"f.log-without-directory:*?\" not written: a relative path\r\n");
    EXPECT_EQ(sink.records[2], "[f] y\r\n");
    impl.SetRecordSink(nullptr);
    warned.SetRecordSink(nullptr);
}

TEST(TraceConsoleSink, RedirectedStandardOutput) {
    TempDir dir;
    TestKey key;
    key.SetNumber(L"SinkConsole", L"EnableMask", TL_INFO);
    key.SetNumber(L"SinkConsole", L"ParamsMask", TP_CONSOLE);
    const std::wstring out = dir / L"stdout.txt";
    HANDLE file = ::CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE saved = ::GetStdHandle(STD_OUTPUT_HANDLE);
    ::SetStdHandle(STD_OUTPUT_HANDLE, file);
    {
        CTraceImpl impl(L"SinkConsole", key.Location());
        // This process has a console already (the runner's): it is kept.
        EXPECT_FALSE(impl.m_Console.m_Allocated);
        EXPECT_EQ(impl.m_Console.m_hOutput, file);
        // WriteConsoleA refuses a file, so the record goes by WriteFile.
        DWORD written = 0;
        EXPECT_FALSE(::WriteConsoleA(file, "x", 1, &written, nullptr));
        EXPECT_FALSE(impl.m_Console.m_IsConsole);
        Trace(impl, TL_INFO, L"[%s] to the console", L"f");
        key.SetNumber(L"SinkConsole", L"ParamsMask", 0x02);
        EXPECT_TRUE(impl.Reload());
        EXPECT_EQ(impl.m_Console.m_hOutput, nullptr);
        Trace(impl, TL_INFO, L"[%s] not to the console", L"f");
    }
    ::SetStdHandle(STD_OUTPUT_HANDLE, saved);
    ::CloseHandle(file);
    EXPECT_EQ(ReadBytes(out), "[f] to the console\r\n");
}

TEST(TraceConsoleSink, AllocatesAndReleasesItsOwnConsole) {
    EXPECT_EQ(RunChild(L"ConsoleBookkeeping", false, DETACHED_PROCESS).exitCode, 0u);
}

TEST(TraceDebuggerSink, RecordsAndTheBreakNote) {
    ChildResult child = RunChild(L"DebuggerSink", true);
    EXPECT_EQ(child.exitCode, 0u);
    std::vector<std::string> seen;
    for (const auto& s : child.debugStrings)
        if (s.find("[child]") != std::string::npos || s.find("A break is requested") != std::string::npos)
            seen.push_back(s);
    const std::vector<std::string> expected = {
        "[child] info 1\r\n",
        "[child] break with debugger sink\r\n",
        "[child] break with debugger sink\r\n",
        kBreakNote,
        "[child] break alone\r\n",
        kBreakNote,
    };
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(std::string(kBreakNote), "W> A break is requested after last output, but ommitted in release.\n");
}

namespace {
// Every line of a shared file is one whole record of a known writer.
void ExpectWholeRecords(const std::string& text, size_t expected, const std::string& tag) {
    const std::regex record("\\[(Writer|Threads)\\] \\[[0-9A-F]+:[0-9A-F]+\\] \\[" + tag + "\\] record \\d{5} p{150}");
    const auto lines = Lines(text);
    EXPECT_EQ(lines.size(), expected);
    size_t bad = 0;
    for (const auto& line : lines)
        if (!std::regex_match(line, record) && ++bad <= 3) ADD_FAILURE() << "torn line: " << line;
    EXPECT_EQ(bad, 0u);
}
}  // namespace

TEST(TraceSharedFile, TwoThreadsNeverInterleave) {
    TempDir dir;
    const std::wstring file = dir / L"threads.log";
    CTraceImpl impl(L"Threads", MissingLocation());
    impl.m_Config.m_FilePath = file;
    impl.m_Config.Publish(TL_INFO, TP_FILE | TP_THREAD, 1, 0xFFFFFFFF);
    const std::wstring padding(150, L'p');
    auto write = [&] {
        for (int i = 0; i < 3000; ++i) Trace(impl, TL_INFO, L"[%s] record %05d %s", L"thread", i, padding.c_str());
    };
    std::thread a(write), b(write);
    a.join();
    b.join();
    ExpectWholeRecords(ReadBytes(file), 6000, "thread");
}

TEST(TraceSharedFile, TwoProcessesNeverInterleave) {
    TempDir dir;
    const std::wstring file = dir / L"processes.log";
    EnvOverride env(L"VQ_TRACE_TEST_FILE", file.c_str());
    auto first = StartChild(L"Writer");
    auto second = StartChild(L"Writer");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    for (auto* child : {first.get(), second.get()}) {
        ASSERT_TRUE(child->Wait("a writer of 3000 records")) << child->Report();
        EXPECT_EQ(child->ExitCode(), 0u) << child->Output();
    }
    const std::string text = ReadBytes(file);
    ExpectWholeRecords(text, 6000, "process");
    std::set<std::string> writers;
    for (const auto& line : Lines(text)) writers.insert(line.substr(0, line.find(':')));
    EXPECT_EQ(writers.size(), 2u) << "records of two processes";
}
