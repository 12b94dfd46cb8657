// The log path as a privileged writer must see it: whom a directory and a
// file may belong to, the descriptors the trace creates, how a path is taken
// apart, and what a redirect, a directory others may change, a short name or
// a foreign file does to the records.
#include <gtest/gtest.h>

#include "base/VqAccessList.h"
#include "base/VqLogDirectory.h"
#include "base/VqLogFile.h"
#include "base/VqLogSecurity.h"
#include "trace_test_support.h"

// After windows.h, which it needs.
#include <sddl.h>

using namespace VqBase;
using namespace trace_test;

namespace {

constexpr wchar_t kOther[] = L"S-1-5-21-1-2-3-1001";
constexpr wchar_t kSelf[] = L"S-1-5-21-1-2-3-500";

// A descriptor from its text form, with its owner and DACL.
class Sddl {
public:
    explicit Sddl(const std::wstring& text) {
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &m_Sd, nullptr);
        BOOL defaulted = FALSE, present = FALSE;
        if (m_Sd) {
            ::GetSecurityDescriptorOwner(m_Sd, &m_Owner, &defaulted);
            ::GetSecurityDescriptorDacl(m_Sd, &present, &m_Dacl, &defaulted);
        }
    }
    ~Sddl() { ::LocalFree(m_Sd); }
    PSID Owner() const { return m_Owner; }
    const ACL* Dacl() const { return m_Dacl; }

private:
    PSECURITY_DESCRIPTOR m_Sd = nullptr;
    PSID m_Owner = nullptr;
    PACL m_Dacl = nullptr;
};

std::vector<BYTE> SidBytes(const wchar_t* text) {
    PSID sid = nullptr;
    if (!::ConvertStringSidToSidW(text, &sid)) return {};
    std::vector<BYTE> bytes(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + ::GetLengthSid(sid));
    ::LocalFree(sid);
    return bytes;
}

std::wstring Judged(const std::wstring& sddl) {
    const Sddl sd(sddl);
    return JudgeLogDirectory(sd.Owner(), sd.Dacl(), SidBytes(kSelf).data());
}

std::wstring DescriptorText(PSECURITY_DESCRIPTOR sd) {
    wchar_t* text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &text, nullptr))
        return L"?";
    std::wstring result = text;
    ::LocalFree(text);
    return result;
}

// Records of a fresh trace that writes name.log below dir.
void WriteRecords(const std::wstring& dir, const wchar_t* name, int count) {
    CTraceImpl impl(name, MissingLocation());
    impl.m_Config.m_FilePath = dir + L"\\" + name + L".log";
    impl.m_Config.Publish(TL_INFO, TP_FILE | TP_APPEND, 0, 0xFFFFFFFF);
    for (int i = 0; i < count; ++i) Trace(impl, TL_INFO, L"[%s] %d", L"f", i);
}

}  // namespace

TEST(TraceLogTrust, OwnersAndRightsOfADirectory) {
    // Owners: the system, the administrators, TrustedInstaller and self.
    for (const std::wstring& owner : {std::wstring(L"SY"), std::wstring(L"BA"),
                                     std::wstring(L"S-1-5-80-956008885-3418522649-1831038044-1850903143-4292266011"),
                                     std::wstring(kSelf)})
        EXPECT_EQ(Judged(L"O:" + owner + L"D:(A;;FA;;;SY)"), L"") << owner;
    EXPECT_EQ(Judged(L"O:" + std::wstring(kOther) + L"D:(A;;FA;;;SY)"), L"owner " + std::wstring(kOther));
    EXPECT_EQ(JudgeLogDirectory(Sddl(L"O:SY").Owner(), nullptr, nullptr), L"no DACL: everyone may change it");

    // Others may traverse, read and add entries, as in C:\Windows\Temp...
    EXPECT_EQ(Judged(L"O:SYD:(A;;0x1200AF;;;WD)(A;OICIIO;GA;;;CO)(A;OICIIO;GA;;;WD)(A;;GA;;;OW)(D;;GA;;;WD)"), L"");
    // ...but never delete, rename or re-permission them.
    for (const wchar_t* rights : {L"0x10000", L"0x40", L"0x40000", L"0x80000", L"GA", L"GW"})
        EXPECT_EQ(Judged(L"O:SYD:(A;;" + std::wstring(rights) + L";;;WD)").find(L"S-1-1-0 may change it"), 0u)
            << rights;
    EXPECT_EQ(Judged(L"O:SYD:(A;;FA;;;" + std::wstring(kOther) + L")"),
              std::wstring(kOther) + L" may change it (001F01FF)");
}

TEST(TraceLogTrust, OwnersOfAPrivateFile) {
    const std::vector<BYTE> self = SidBytes(kSelf);
    EXPECT_EQ(JudgeLogFileOwner(Sddl(L"O:SY").Owner(), self.data()), L"");
    EXPECT_EQ(JudgeLogFileOwner(Sddl(L"O:BA").Owner(), self.data()), L"");
    EXPECT_EQ(JudgeLogFileOwner(Sddl(L"O:" + std::wstring(kSelf)).Owner(), self.data()), L"");
    EXPECT_EQ(JudgeLogFileOwner(Sddl(L"O:" + std::wstring(kOther)).Owner(), self.data()),
              L"owner " + std::wstring(kOther));
    EXPECT_EQ(JudgeLogFileOwner(nullptr, self.data()), L"no owner");
}

TEST(TraceLogTrust, TheDescriptorsTheTraceCreates) {
    const std::unique_ptr<void, HeapFreer> directory(BuildDirectorySecurity());
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(DescriptorText(directory.get()),
              L"G:BAD:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICIIO;GA;;;CO)(A;;0x1200af;;;WD)(A;;0x1200af;;;AC)");
    // What the trace creates, it trusts when the system owns it.
    const std::wstring created = DescriptorText(directory.get());
    EXPECT_EQ(Judged(L"O:SY" + created.substr(created.find(L"D:"))), L"");

    const std::unique_ptr<void, HeapFreer> common(BuildCommonFileSecurity());
    ASSERT_NE(common, nullptr);
    EXPECT_EQ(DescriptorText(common.get()), L"G:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100084;;;WD)");
    // The well-known SIDs the judgement compares with.
    EXPECT_EQ(SidBytes(L"S-1-5-80-956008885-3418522649-1831038044-1850903143-4292266011"),
              std::vector<BYTE>(std::begin(kSidTrustedInstaller), std::end(kSidTrustedInstaller)));
}

TEST(TraceLogPath, TakenApart) {
    auto parts = SplitLogPath(L"C:/Logs. /a /b\\f.log. ");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->Root, L"C:\\");
    EXPECT_EQ(parts->Directories, (std::vector<std::wstring>{L"Logs", L"a", L"b"}));
    EXPECT_EQ(parts->File, L"f.log");
    parts = SplitLogPath(L"\\\\server\\share\\x\\f.log");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->Root, L"\\\\server\\share\\");
    EXPECT_EQ(parts->Directories, std::vector<std::wstring>{L"x"});
    parts = SplitLogPath(L"C:\\a\\..\\b\\");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->Directories, std::vector<std::wstring>{L"b"});
    EXPECT_EQ(parts->File, L"");
    for (const wchar_t* refused : {L"f.log", L"logs\\f.log", L"\\f.log", L"C:f.log", L"\\\\server\\share",
                                   L"\\\\.\\pipe\\x", L"C:\\a\\...\\f.log", L"C:\\a*\\f.log", L"C:\\a\\f?.log"})
        EXPECT_FALSE(SplitLogPath(refused)) << refused;
}

TEST(TraceLogPath, TrailingDotsAndBlanksReachTheLongForm) {
    TempDir dir;
    WriteRecords(dir / L"x \\y. ", L"Dotted", 2);
    EXPECT_EQ(Lines(ReadBytes(dir / L"x\\y\\Dotted.log")).size(), 2u);
}

TEST(TraceLogPath, AShortNamePathWritesEveryRecordOfTheFirstRun) {
    TempDir dir;
    const std::wstring longDir = dir / L"Long Directory Name";
    ASSERT_TRUE(::CreateDirectoryW(longDir.c_str(), nullptr));
    wchar_t shortDir[MAX_PATH] = {};
    ASSERT_GT(::GetShortPathNameW(longDir.c_str(), shortDir, MAX_PATH), 0u);
    ASSERT_NE(std::wstring(shortDir), longDir);
    // The log does not exist yet.
    WriteRecords(shortDir, L"Short", 3);
    EXPECT_EQ(Lines(ReadBytes(longDir + L"\\Short.log")).size(), 3u);
}

TEST(TraceLogPath, ARedirectedDirectoryGetsNothing) {
    if (!UnderWine()) GTEST_SKIP() << "a Unix symbolic link stands in for a junction";
    TempDir dir;
    const std::wstring chain = dir / L"a\\b";
    const std::wstring target = dir / L"target";
    CTraceImpl running(L"Running", MissingLocation());
    running.m_Config.m_FilePath = chain + L"\\Running.log";
    running.m_Config.Publish(TL_INFO, TP_FILE, 0, 0xFFFFFFFF);
    Trace(running, TL_INFO, L"[%s] first run", L"f");
    ASSERT_TRUE(Exists(chain + L"\\Running.log"));

    // A user swaps a directory of the chain for a link to where SYSTEM
    // should not write.
    ASSERT_TRUE(::CreateDirectoryW(target.c_str(), nullptr));
    const std::string a = UnixPath(dir / L"a");
    ASSERT_TRUE(RunUnixShell("mv '" + a + "' '" + a + ".old' && ln -s '" + UnixPath(target) + "' '" + a + "'"));
    ASSERT_TRUE(::GetFileAttributesW((dir / L"a").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);

    Trace(running, TL_INFO, L"[%s] running on", L"f");
    WriteRecords(chain, L"Started", 2);
    EXPECT_FALSE(Exists(target + L"\\b")) << "a directory created through the link";
    EXPECT_EQ(Lines(ReadBytes(dir / L"a.old\\b\\Running.log")).size(), 2u) << "the held directory keeps its records";
    RunUnixShell("rm '" + a + "'");
}

TEST(TraceLogPath, ADirectoryOthersMayChangeGetsNothingBelowIt) {
    if (!UnderWine()) GTEST_SKIP() << "Wine maps the other users' rights to the Unix mode";
    TempDir dir;
    const std::wstring open = dir / L"open";
    ASSERT_TRUE(::CreateDirectoryW(open.c_str(), nullptr));
    ASSERT_TRUE(RunUnixShell("chmod o+w '" + UnixPath(open) + "'"));
    WriteRecords(open + L"\\sub", L"Open", 2);
    WriteRecords(open, L"Open", 2);
    EXPECT_FALSE(Exists(open + L"\\sub"));
    EXPECT_FALSE(Exists(open + L"\\Open.log"));
}

TEST(TraceLogPath, ARenamedOrDeletedLogIsMadeAgain) {
    TempDir dir;
    CTraceImpl impl(L"Rotated", MissingLocation());
    impl.m_Config.m_FilePath = dir / L"Rotated.log";
    impl.m_Config.Publish(TL_INFO, TP_FILE, 0, 0xFFFFFFFF);
    Trace(impl, TL_INFO, L"[%s] one", L"f");
    ASSERT_TRUE(::MoveFileW((dir / L"Rotated.log").c_str(), (dir / L"Rotated.1.log").c_str()));
    Trace(impl, TL_INFO, L"[%s] two", L"f");
    ASSERT_TRUE(::DeleteFileW((dir / L"Rotated.1.log").c_str()));
    Trace(impl, TL_INFO, L"[%s] three", L"f");
    EXPECT_EQ(ReadBytes(dir / L"Rotated.log"), "[f] two\r\n[f] three\r\n");
}

TEST(TraceLogFile, APrivateLogAnotherUserOwns) {
    TempDir dir;
    WriteBytes(dir / L"p.log", "someone else's\r\n");
    auto parts = SplitLogPath((dir / L"p.log").c_str());
    ASSERT_TRUE(parts);
    CLogDirectory held;
    ASSERT_EQ(held.Walk(*parts, ProcessUserSid()), CLogDirectory::Held) << held.Problem();
    // Files here are the Wine user's: as LocalSystem, that is another user.
    const std::vector<BYTE> system = SidBytes(L"S-1-5-18");
    std::atomic<LONGLONG> known{0};
    LogFileRules rules{false, true, false, system.data(), nullptr, &known};
    CTraceFile file;
    EXPECT_EQ(file.Judge(held.Handle(), L"p.log", rules), CTraceFile::Refused);
    EXPECT_EQ(file.Problem().find(L"owner S-1-5-21-"), 0u) << file.Problem();
    EXPECT_EQ(file.Plant(), PlantKind::ForeignOwner);

    // With TP_APPEND or without, it is moved aside, whole, and a file of
    // the trace's own made in its place.
    rules.DirectoryPath = &held.Path();
    ASSERT_EQ(file.Open(held.Handle(), L"p.log", rules), CTraceFile::Opened) << file.Problem();
    file.Write("mine\r\n", 6);
    EXPECT_EQ(ReadBytes(dir / L"p.log"), "mine\r\n") << "replaced by a file of its own";
    ASSERT_EQ(file.Moved().size(), 1u);
    EXPECT_EQ(ReadBytes(dir / file.Moved()[0].Aside), "someone else's\r\n");
    // From now on it is known, and appended to without another look.
    rules.Append = true;
    EXPECT_EQ(file.Open(held.Handle(), L"p.log", rules), CTraceFile::Opened) << file.Problem();
}
