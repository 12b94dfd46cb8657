// What the file sink does when its path goes bad and good again, and how it
// names a path it cannot use: nothing lost beyond the records written while
// the directory was absent, and no refusal that nobody hears.
#include <gtest/gtest.h>

#include "base/VqAccessList.h"
#include "base/VqLogFile.h"
#include "base/VqModulePath.h"
#include "trace_test_support.h"

using namespace VqBase;
using namespace trace_test;

namespace {

// A trace whose file sink writes path and whose console is the file out.
struct ConsoleAndFile {
    ConsoleAndFile(const wchar_t* name, const std::wstring& path, const std::wstring& out) : impl(name, MissingLocation()) {
        impl.m_Config.m_FilePath = path;
        impl.m_Config.Publish(TL_INFO | TL_WARNING, TP_FILE | TP_APPEND | TP_CONSOLE, 0, 0xFFFFFFFF);
        impl.m_Console.m_hOutput = ::CreateFileW(out.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, CREATE_ALWAYS, 0, nullptr);
        impl.m_Console.m_IsConsole = false;
    }
    ~ConsoleAndFile() { ::CloseHandle(impl.m_Console.m_hOutput); impl.m_Console.m_hOutput = nullptr; }
    CTraceImpl impl;
};

}  // namespace

TEST(TraceLogRecovery, ADirectoryThatGoesOrComesLaterLosesOnlyWhatWasWrittenMeanwhile) {
    if (!UnderWine()) GTEST_SKIP() << "the directory is removed on the Unix side, as a user's rm would";
    TempDir dir;
    const std::wstring logs = dir / L"logs";
    ConsoleAndFile gone(L"Gone", logs + L"\\Gone.log", dir / L"gone.txt");
    Trace(gone.impl, TL_INFO, L"[%s] one", L"f");
    ASSERT_TRUE(RunUnixShell("rm -rf '" + UnixPath(logs) + "'"));
    Trace(gone.impl, TL_INFO, L"[%s] two", L"f");
    EXPECT_EQ(ReadBytes(logs + L"\\Gone.log"), "[f] two\r\n") << "the chain is walked again and made anew";

    // A file stands where the directory should be when the trace starts.
    const std::wstring blocked = dir / L"blocked";
    WriteBytes(blocked, "in the way");
    ConsoleAndFile later(L"Later", blocked + L"\\Later.log", dir / L"later.txt");
    Trace(later.impl, TL_INFO, L"[%s] lost", L"f");
    ASSERT_TRUE(::DeleteFileW(blocked.c_str()));
    Trace(later.impl, TL_INFO, L"[%s] too soon", L"f");
    EXPECT_FALSE(Exists(blocked)) << "walked again before its second was up";
    ::Sleep(1100);
    Trace(later.impl, TL_INFO, L"[%s] kept", L"f");
    EXPECT_EQ(ReadBytes(blocked + L"\\Later.log"), "[f] kept\r\n");
    // The console heard why the first records were lost, once.
    const std::string console = ReadBytes(dir / L"later.txt");
    const size_t said = console.find("[VqBase::CTraceImpl::OpenFile] Trace file \"");
    ASSERT_NE(said, std::string::npos) << console;
    EXPECT_NE(console.find("\\blocked\\Later.log\" not written: cannot create the directories", said),
              std::string::npos) << console;
    EXPECT_EQ(said, console.rfind("[VqBase::CTraceImpl::OpenFile]")) << "said once";
    EXPECT_NE(console.find("[f] kept"), std::string::npos);
}

TEST(TraceLogRecovery, PathsThatCannotBeUsedAreNamedAndLeaveNothingBehind) {
    std::wstring why;
    const std::pair<const wchar_t*, const wchar_t*> refused[] = {
        {L"Logs\\f.log", L"a relative path"},
        {L"C:Logs\\f.log", L"a drive-relative path (no backslash after \"C:\")"},
        {L"\\Logs\\f.log", L"a rooted path without a drive"},
        {L"C:\\Logs\\CON", L"\"CON\" names a device, not a file"},
        {L"C:\\Logs\\com1.log", L"\"com1\" names a device, not a file"},
        {L"C:\\nul\\f.log", L"\"nul\" names a device, not a file or directory"},
    };
    for (const auto& [path, reason] : refused) {
        EXPECT_FALSE(SplitLogPath(path, &why)) << path;
        EXPECT_EQ(why, reason) << path;
    }
    EXPECT_FALSE(SplitLogPath(std::wstring(520, L'a').c_str(), &why));
    EXPECT_EQ(why, L"a path of 520 characters or more");

    TempDir dir;
    // A TracePath too long to read whole: no file anywhere, and why.
    TestKey key;
    key.SetNumber(L"Long", L"EnableMask", TL_INFO);
    key.SetNumber(L"Long", L"ParamsMask", TP_FILE);
    key.SetString(L"", L"TracePath", dir / std::wstring(520, L'x'));
    CTraceImpl longPath(L"Long", key.Location());
    EXPECT_EQ(longPath.m_Config.m_FilePathProblem, L"TracePath has 520 characters or more");

    // A directory planted under the log file's name is moved aside, kept.
    ASSERT_TRUE(::CreateDirectoryW((dir / L"Planted.log").c_str(), nullptr));
    struct Sink : ITraceRecordSink {
        std::string last;
        void OnRecord(DWORD, const char* record, size_t size) override { last.assign(record, size); }
    } sink;
    CTraceImpl planted(L"Planted", MissingLocation());
    planted.SetRecordSink(&sink);
    planted.m_Config.m_FilePath = dir / L"Planted.log";
    planted.m_Config.Publish(TL_INFO | TL_WARNING, TP_FILE, 0, 0xFFFFFFFF);
    Trace(planted, TL_INFO, L"[%s] x", L"f");
    EXPECT_NE(sink.last.find("Planted.log\": a directory (owner S-1-"), std::string::npos) << sink.last;
    EXPECT_EQ(ReadBytes(dir / L"Planted.log").find("[f] x\r\n"), 0u);
    planted.SetRecordSink(nullptr);

    // A long directory chain is written, or refused with nothing made
    // (Wine cannot read back the final path of some of them).
    std::wstring deep = dir / L"deep";
    while (deep.size() < 480) deep += L"\\abcdefghijklmnopqrstuvwxyz";
    CTraceImpl chain(L"Deep", MissingLocation());
    chain.m_Config.m_FilePath = deep + L"\\Deep.log";
    chain.m_Config.Publish(TL_INFO, TP_FILE, 0, 0xFFFFFFFF);
    Trace(chain, TL_INFO, L"[%s] x", L"f");
    EXPECT_TRUE(Exists(deep + L"\\Deep.log") || !Exists(dir / L"deep")) << "directories left behind";
}

TEST(TraceLogFile, AnotherOwnersCommonFileIsRefusedAndLeftAlone) {
    TempDir dir;
    WriteBytes(dir / L"VqTrace.log", "forged first line\r\n");
    auto parts = SplitLogPath((dir / L"VqTrace.log").c_str());
    ASSERT_TRUE(parts);
    CLogDirectory held;
    ASSERT_EQ(held.Walk(*parts, ProcessUserSid()), CLogDirectory::Held) << held.Problem();
    // Files here are the Wine user's: as LocalSystem, that is another user.
    const BYTE* system = kSidLocalSystem;
    std::atomic<LONGLONG> known{0};
    const LogFileRules rules{true, true, false, system, nullptr, &known};
    CTraceFile file;
    EXPECT_EQ(file.Open(held.Handle(), L"VqTrace.log", rules), CTraceFile::Refused);
    EXPECT_EQ(file.Problem().find(L"owner S-1-5-21-"), 0u) << file.Problem();
    EXPECT_NE(file.Problem().find(L"another's common file"), std::wstring::npos) << file.Problem();
    EXPECT_EQ(file.Judge(held.Handle(), L"VqTrace.log", rules), CTraceFile::Refused);
    EXPECT_EQ(ReadBytes(dir / L"VqTrace.log"), "forged first line\r\n");
}

TEST(TraceLogFile, AnElevatedProgramsFileMutexIsTrustedByTheService) {
    if (!ProcessIsElevated()) GTEST_SKIP() << "needs an elevated token, as Wine's is";
    TempDir dir;
    const std::wstring file = dir / L"Shared.log";
    const FileMutex made = CreateFileMutex(file, ProcessUserSid());
    ASSERT_TRUE(made.Handle);
    const std::vector<BYTE> system(std::begin(kSidLocalSystem), std::end(kSidLocalSystem));
    const FileMutex found = CreateFileMutex(file, system, false);
    EXPECT_TRUE(found.Trusted) << found.Note;
}

TEST(ModulePath, GrowsToTheLongestPath) {
    auto pathOf = [](DWORD length) {
        return ReadGrowingPath([length](wchar_t* buffer, DWORD size) {
            std::fill_n(buffer, std::min(length, size), L'x');
            return std::min(length, size);
        });
    };
    EXPECT_EQ(pathOf(20000).size(), 20000u);
    EXPECT_EQ(pathOf(32767).size(), 32767u);
    EXPECT_EQ(pathOf(32768), L"");
}
