// diagctl against a service hosted by the test on channel names of its own.
#include <windows.h>
#include <sddl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "base/VqAccessList.h"
#include "channel_support.h"
#include "child_process.h"
#include "diagproto.h"
#include "target_chain.h"
#include "target_file.h"
#include "unix_side.h"
#include "json_samples.h"
#include "trace_check.h"

using testing::HasSubstr;

namespace {

struct DiagctlRun {
    DWORD ExitCode = 0xFFFFFFFF;
    std::string Out;
    std::string Err;
};

HANDLE InheritableFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes, CREATE_ALWAYS, 0, nullptr);
}

std::string ReadText(const channel_test::TempPath& file) {
    const auto bytes = file.ReadAll();
    return std::string(bytes.begin(), bytes.end());
}

// Waits until diagctl has created all three objects, or gives up when the
// process has ended or 20 s have passed.
bool WaitForChannel(const diagctl::ChannelNames& names, HANDLE process) {
    for (int i = 0; i < 400; ++i) {
        if (const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, names.WorkDone.c_str())) {
            CloseHandle(event);
            return true;
        }
        if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0)
            return false;
    }
    return false;
}

// Runs diagctl with arguments (in directory, when given); while it runs,
// serve (if any) plays the service once the channel exists.
DiagctlRun RunDiagctl(const std::wstring& arguments, const diagctl::ChannelNames& names,
               const std::function<void()>& serve = {}, const std::wstring& directory = {}) {
    channel_test::TempPath out(L"diagctl-out");
    channel_test::TempPath err(L"diagctl-err");
    DiagctlRun run;
    const HANDLE outFile = InheritableFile(out.Path());
    const HANDLE errFile = InheritableFile(err.Path());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = outFile;
    startup.hStdError = errFile;
    std::wstring commandLine = L"\"" + channel_test::BesideSelf(L"diagctl.exe") + L"\" " + arguments;
    PROCESS_INFORMATION info{};
    const bool started = testing_support::StartProcess(nullptr, commandLine.data(), TRUE, CREATE_NO_WINDOW, &startup,
                                                       &info, directory.empty() ? nullptr : directory.c_str()) != FALSE;
    CloseHandle(outFile);
    CloseHandle(errFile);
    if (!started)
        return run;
    CloseHandle(info.hThread);
    if (serve && WaitForChannel(names, info.hProcess))
        serve();
    const bool ended = WaitForSingleObject(info.hProcess, testing_support::kChildTimeoutMs) == WAIT_OBJECT_0;
    if (ended)
        GetExitCodeProcess(info.hProcess, &run.ExitCode);
    else
        TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
    run.Out = ReadText(out);
    run.Err = ReadText(err);
    if (!ended)
        std::fprintf(stderr, "diagctl %ls gave no answer within 30 s; ended it. Its output:\n%s%s\n", arguments.c_str(),
                     run.Out.c_str(), run.Err.c_str());
    return run;
}

// One pass of the service's work loop over the test's names.
std::function<void()> ServeOne(const diagctl::ChannelNames& names) {
    return [names] {
        DiagService service(channel_test::ServiceNames(names));
        if (service.m_Events.WaitForWork() == 0) {
            service.MainLogic();
            service.m_Events.SetWorkDone();
        }
    };
}

std::wstring NamesOption(std::wstring& prefix, diagctl::ChannelNames& names) {
    prefix = channel_test::UniqueName(L"diagctl");
    names = diagctl::PrefixedChannelNames(prefix);
    return L"--names " + prefix + L" ";
}

// As diagctl writes text into a file: UTF-8.
std::string Narrow(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

DWORD Code(int code) { return static_cast<DWORD>(code); }

}  // namespace

TEST(Diagctl, ExportPrintsEachPairAndSucceeds) {
    channel_test::TestKey key(L"diagctl");
    ASSERT_TRUE(key.SetString(L"", L"v", L"1"));
    channel_test::TempPath file(L"diagctl-\u0444\u0430\u0439\u043B");  // printed whole, not cut at the first non-ASCII
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    const DiagctlRun run = RunDiagctl(options + L"export \"" + key.Path() + L"=" + file.Path() + L"\"", names, ServeOne(names));
    EXPECT_EQ(run.ExitCode, 0u) << run.Out << run.Err;
    EXPECT_THAT(run.Out, HasSubstr("result: 0 (0x00000000)"));
    EXPECT_THAT(run.Out, HasSubstr("data size: 4"));
    EXPECT_THAT(run.Out, HasSubstr("pair 1: key \"" + Narrow(key.Path()) + "\" file \"" + Narrow(file.Path()) +
                                   "\" exit code 0 (0x00000000)"));
    EXPECT_TRUE(file.Exists());
}

TEST(Diagctl, ExportOfAMissingKeyIsAFailedRequest) {
    channel_test::TestKey key(L"diagctl-missing");
    key.Delete();
    channel_test::TempPath file(L"diagctl-missing");
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    const DiagctlRun run = RunDiagctl(options + L"export \"" + key.Path() + L"=" + file.Path() + L"\"", names, ServeOne(names));
    EXPECT_EQ(run.ExitCode, Code(diagproto::kExitFailed)) << run.Out << run.Err;
    EXPECT_THAT(run.Out, HasSubstr("result: 0 (0x00000000)"));
    EXPECT_THAT(run.Out, HasSubstr("exit code 1 (0x00000001)"));
}

// The service resolves a relative file against its own current directory
// (here the test's), never diagctl's.
TEST(Diagctl, ARelativeFileReachesTheServiceAsTheAbsolutePathUnderTheCurrentDirectory) {
    channel_test::TestKey key(L"diagctl-relative");
    ASSERT_TRUE(key.SetString(L"", L"v", L"1"));
    channel_test::TempPath file(L"relative", L"diagctl-cwd");
    const std::wstring directory = file.Path().substr(0, file.Path().find_last_of(L'\\'));
    const std::wstring relative = file.Path().substr(directory.size() + 1);
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    const DiagctlRun run = RunDiagctl(options + L"export \"" + key.Path() + L"=" + relative + L"\"", names,
                                      ServeOne(names), directory);
    EXPECT_EQ(run.ExitCode, 0u) << run.Out << run.Err;
    EXPECT_THAT(run.Out, HasSubstr("file \"" + Narrow(file.Path()) + "\" exit code 0"));
    EXPECT_TRUE(file.Exists());
}

// Someone else's object under a channel name: not a matter of rights, so no
// advice to elevate; the name is given.
TEST(Diagctl, ASquattedNameIsReportedAsSuchWithTheName) {
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    PSECURITY_DESCRIPTOR nobody = nullptr;  // an empty DACL: no access for anyone
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, &nobody, nullptr));
    SECURITY_ATTRIBUTES closed{sizeof(closed), nobody, FALSE};
    const HANDLE section =
        CreateFileMappingW(INVALID_HANDLE_VALUE, &closed, PAGE_READWRITE, 0, 4096, names.Section.c_str());
    LocalFree(nobody);
    ASSERT_NE(section, nullptr);
    const DiagctlRun denied = RunDiagctl(options + L"quit", names);
    CloseHandle(section);
    EXPECT_EQ(denied.ExitCode, Code(diagproto::kExitChannelTaken)) << denied.Err;
    EXPECT_THAT(denied.Err, HasSubstr("section \"" + Narrow(names.Section) + "\" is taken by another program "
                                      "(name squatting)"));
    EXPECT_EQ(denied.Err.find("elevated"), std::string::npos) << denied.Err;

    const HANDLE mutex = CreateMutexW(nullptr, FALSE, names.WorkDone.c_str());  // another type of object
    ASSERT_NE(mutex, nullptr);
    const DiagctlRun otherType = RunDiagctl(options + L"quit", names);
    CloseHandle(mutex);
    EXPECT_EQ(otherType.ExitCode, Code(diagproto::kExitChannelTaken)) << otherType.Err;
    EXPECT_THAT(otherType.Err, HasSubstr("event \"" + Narrow(names.WorkDone) + "\" is taken by another program "
                                         "(name squatting): an object of another type"));
}

TEST(Diagctl, RefusedRequestsExitWithTheRefusedCode) {
    for (const wchar_t* request : {L"raw 7 0", L"raw 0 -4", L"raw 1 0 4b00"}) {
        std::wstring prefix;
        diagctl::ChannelNames names;
        const std::wstring options = NamesOption(prefix, names);
        const DiagctlRun run = RunDiagctl(options + request, names, ServeOne(names));
        EXPECT_EQ(run.ExitCode, Code(diagproto::kExitRefused)) << Narrow(request) << "\n" << run.Out << run.Err;
        EXPECT_THAT(run.Out, HasSubstr("result: 13 (0x0000000D)"));
        EXPECT_THAT(run.Out, HasSubstr("data size: 0"));
    }
}

TEST(Diagctl, QuitIsAccepted) {
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    const DiagctlRun run = RunDiagctl(options + L"quit", names, ServeOne(names));
    EXPECT_EQ(run.ExitCode, 0u) << run.Out << run.Err;
    EXPECT_THAT(run.Out, HasSubstr("result: 0 (0x00000000)"));
}

TEST(Diagctl, NobodyAnsweringIsATimeOut) {
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    const auto start = std::chrono::steady_clock::now();
    const DiagctlRun run = RunDiagctl(options + L"--timeout 300 quit", names);
    EXPECT_EQ(run.ExitCode, Code(diagproto::kExitTimeout)) << run.Out << run.Err;
    EXPECT_THAT(run.Err, HasSubstr("no reply within 300 ms"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(Diagctl, PlantedObjectIsNotUsed) {
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    const HANDLE planted = CreateEventW(nullptr, FALSE, FALSE, names.DoWork.c_str());
    ASSERT_NE(planted, nullptr);
    const DiagctlRun run = RunDiagctl(options + L"quit", names);
    CloseHandle(planted);
    EXPECT_EQ(run.ExitCode, Code(diagproto::kExitChannelTaken)) << run.Out << run.Err;
    EXPECT_THAT(run.Err, HasSubstr(Narrow(names.DoWork) + "\" exists already"));
}

TEST(Diagctl, BadCommandLinesAreUsageErrors) {
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    for (const wchar_t* arguments : {L"export", L"export nokey", L"raw x 0", L"raw 1 0 zz", L"frobnicate",
                                     L"--size 4 quit", L"--timeout"}) {
        const DiagctlRun run = RunDiagctl(options + arguments, names);
        EXPECT_EQ(run.ExitCode, Code(diagproto::kExitUsage)) << Narrow(arguments) << "\n" << run.Out << run.Err;
        EXPECT_THAT(run.Err, HasSubstr("usage: diagctl"));
    }
    // What was wrong is named, followed by that verb's usage only.
    const DiagctlRun pair = RunDiagctl(L"export nokey", names);
    EXPECT_THAT(pair.Err, HasSubstr("bad pair \"nokey\""));
    EXPECT_THAT(pair.Err, HasSubstr("usage: diagctl [OPTION ...] export KEY=FILE"));
    EXPECT_EQ(pair.Err.find("install"), std::string::npos) << pair.Err;
    const DiagctlRun option = RunDiagctl(L"status --names x", names);
    EXPECT_EQ(option.ExitCode, Code(diagproto::kExitUsage));
    EXPECT_THAT(option.Err, HasSubstr("--names does not apply to status"));
}

TEST(Diagctl, EveryFormOfHelpPrintsTheWholeUsageAndSucceeds) {
    const diagctl::ChannelNames none;
    for (const wchar_t* arguments : {L"", L"--help", L"-h", L"/?", L"help"}) {
        const DiagctlRun run = RunDiagctl(arguments, none);
        EXPECT_EQ(run.ExitCode, 0u) << Narrow(arguments) << "\n" << run.Err;
        for (const char* item : {"export KEY=FILE", "quit", "raw WORKTYPE", "session [REQUEST", "install [EXE]",
                                 "uninstall", "start [ARG", "stop", "control CODE", "status", "help [VERB]",
                                 "--names", "--section", "--do-work", "--work-done", "--size", "--timeout",
                                 "exit codes:", "ProductLocale"})
            EXPECT_THAT(run.Out, HasSubstr(item)) << Narrow(arguments);
    }
    for (const wchar_t* arguments : {L"help stop", L"stop --help", L"-h stop"}) {
        const DiagctlRun run = RunDiagctl(arguments, none);
        EXPECT_EQ(run.ExitCode, 0u) << Narrow(arguments);
        EXPECT_THAT(run.Out, HasSubstr("usage: diagctl [OPTION ...] stop\n"));
        EXPECT_EQ(run.Out.find("install"), std::string::npos) << run.Out;
    }
}

TEST(Diagctl, OptionsStandBeforeOrAfterTheVerb) {
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    const DiagctlRun after = RunDiagctl(L"quit " + options + L"--timeout 300", names);
    EXPECT_EQ(after.ExitCode, Code(diagproto::kExitTimeout)) << after.Err;
    EXPECT_THAT(after.Err, HasSubstr("no reply within 300 ms"));
}

// A failed system call: its number (also the exit code) and a non-empty text.
TEST(Diagctl, FailuresCarryTheErrorNumberAndText) {
    const diagctl::ChannelNames none;
    const DiagctlRun status = RunDiagctl(L"status", none);  // nothing is installed in this prefix
    EXPECT_EQ(status.ExitCode, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST)) << status.Err;
    const std::string head = "diagctl: OpenService failed: error 1060 (0x00000424): ";
    ASSERT_THAT(status.Err, HasSubstr(head));
    const std::string text = status.Err.substr(status.Err.find(head) + head.size());
    EXPECT_GT(text.find('\n'), 0u) << status.Err;
    EXPECT_EQ(text.find("no text"), std::string::npos) << status.Err;

    const DiagctlRun channel = RunDiagctl(L"--section NoSuchNamespace\\x quit", none);
    EXPECT_EQ(channel.ExitCode & diagproto::kOwnExitCodeBit, 0u) << channel.Err;
    EXPECT_THAT(channel.Err, HasSubstr("error " + std::to_string(channel.ExitCode) + " (0x"));

    const DiagctlRun install = RunDiagctl(L"install C:\\no\\such\\ReRiruRuvazor.exe", none);
    EXPECT_TRUE(install.ExitCode == ERROR_PATH_NOT_FOUND || install.ExitCode == ERROR_FILE_NOT_FOUND)
        << install.ExitCode << install.Err;
    EXPECT_THAT(install.Err, HasSubstr("error " + std::to_string(install.ExitCode) + " (0x"));
}

namespace {

// A directory of the test's own under the temporary directory, with Unix
// links in it under Wine; removed whole, links and all, at the end.
class Scratch {
public:
    Scratch() {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        m_Path = temp + channel_test::UniqueName(L"targets");
        CreateDirectoryW(m_Path.c_str(), nullptr);
    }
    ~Scratch() { testing_support::RunUnixShell("rm -rf '" + testing_support::UnixPath(m_Path) + "'"); }
    std::wstring operator/(const std::wstring& name) const { return m_Path + L"\\" + name; }
    // A Unix link named link in the directory that leads to target there.
    bool LinkTo(const std::wstring& target, const std::wstring& link) const {
        using testing_support::UnixPath;
        return testing_support::RunUnixShell("ln -sn '" + UnixPath(*this / target) + "' '" + UnixPath(*this / link) + "'");
    }

private:
    std::wstring m_Path;
};

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Directories of 60 characters below base until the path has 620.
std::wstring LongPathBelow(const std::wstring& base) {
    std::wstring path = base;
    while (path.size() + 61 < 620) {
        path += L"\\" + std::wstring(60, L'd');
        CreateDirectoryW(path.c_str(), nullptr);
    }
    return path + L"\\" + std::wstring(619 - path.size(), L'f');
}

}  // namespace

// reg.exe writes an export FILE as LocalSystem through whatever the path
// reaches: every spelling is judged, or refused with the target's own exit
// code, the reason and no usage, before anything is posted.
TEST(ExportTargets, EachFormOfPathIsRefusedOrWrittenWhereJudged) {
    if (!testing_support::UnderWine()) GTEST_SKIP() << "a Unix link stands in for a junction";
    Scratch scratch;
    ASSERT_TRUE(CreateDirectoryW((scratch / L"judged").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scratch / L"elsewhere").c_str(), nullptr));
    ASSERT_TRUE(scratch.LinkTo(L"elsewhere", L"linked"));
    channel_test::TestKey key(L"targets");
    ASSERT_TRUE(key.SetString(L"", L"v", L"1"));
    const std::wstring judged = scratch / L"judged";
    const std::wstring longInLink = LongPathBelow(scratch / L"linked");
    const struct {
        std::wstring File;
        const char* Why;
    } refused[] = {
        {L"NUL", "names the device NUL"},
        {judged + L"\\con.reg", "names the device CON"},
        {judged + L"\\out.reg:s", "names the stream \"s\" of \"out.reg\""},
        {judged + L"\\a\\\"b.reg", "no file name may hold (\")"},
        {judged, "is a directory"},
        {judged + L"\\" + std::wstring(300, L'n') + L".reg", "a name of 304 characters"},
        {scratch / L"missing\\out.reg", "does not exist"},
        {L"\\\\.\\pipe\\out", "a volume or device path"},
        {L"\\\\.\\" + (scratch / L"linked\\out.reg"), "leads to"},
        {longInLink, "leads to"},
    };
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    for (const auto& c : refused) {
        const DiagctlRun run = RunDiagctl(options + L"export \"" + key.Path() + L"=" + c.File + L"\"", names);
        EXPECT_EQ(run.ExitCode, Code(diagproto::kExitTargetRefused)) << Narrow(c.File) << "\n" << run.Out << run.Err;
        EXPECT_THAT(run.Err, HasSubstr(c.Why)) << Narrow(c.File);
        EXPECT_THAT(run.Err, testing::Not(HasSubstr("usage:")));
    }
    EXPECT_FALSE(Exists(scratch / L"elsewhere\\out.reg"));

    // A device path to a drive and a path of 620 characters are written
    // where they were judged.
    const std::wstring longPath = LongPathBelow(judged);
    for (const std::wstring& file : {L"\\\\.\\" + judged + L"\\device.reg", longPath}) {
        const DiagctlRun run =
            RunDiagctl(options + L"export \"" + key.Path() + L"=" + file + L"\"", names, ServeOne(names));
        EXPECT_EQ(run.ExitCode, 0u) << Narrow(file) << "\n" << run.Out << run.Err;
    }
    EXPECT_TRUE(Exists(judged + L"\\device.reg"));
    EXPECT_TRUE(Exists(L"\\\\?\\" + longPath));
}

// Between the judgement and reg.exe's write, the judged directory is held:
// it can be neither renamed nor replaced by a link to somewhere else.
TEST(ExportTargets, ADirectorySwappedForALinkBeforeRegExeRunsIsNeverWrittenThrough) {
    if (!testing_support::UnderWine()) GTEST_SKIP() << "a Unix link stands in for a junction";
    Scratch scratch;
    ASSERT_TRUE(CreateDirectoryW((scratch / L"judged").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scratch / L"elsewhere").c_str(), nullptr));
    channel_test::TestKey key(L"swap");
    ASSERT_TRUE(key.SetString(L"", L"v", L"1"));
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    DWORD renamed = 0;
    // The service's side, paused where reg.exe is yet to run.
    const auto swapThenServe = [&] {
        DiagService service(channel_test::ServiceNames(names));
        if (service.m_Events.WaitForWork() != 0)
            return;
        if (MoveFileW((scratch / L"judged").c_str(), (scratch / L"judged.old").c_str()))
            renamed = scratch.LinkTo(L"elsewhere", L"judged") ? 1 : 2;
        else
            renamed = GetLastError() == ERROR_SHARING_VIOLATION ? 0 : 3;
        service.MainLogic();
        service.m_Events.SetWorkDone();
    };
    const std::wstring file = scratch / L"judged\\out.reg";
    const DiagctlRun run = RunDiagctl(options + L"export \"" + key.Path() + L"=" + file + L"\"", names, swapThenServe);
    EXPECT_EQ(run.ExitCode, 0u) << run.Out << run.Err;
    EXPECT_EQ(renamed, 0u) << "the held directory was renamed (2, 3: and the link failed, another error)";
    EXPECT_TRUE(Exists(file));
    EXPECT_FALSE(Exists(scratch / L"elsewhere\\out.reg"));
}

// An existing FILE is judged as the log file is: its owner, and who else may
// change it. Wine gives every file one owner, the Wine user: judged as
// LocalSystem, that is another user.
TEST(ExportTargets, AFileOfAnotherOwnerOrThatOthersMayChangeIsRefused) {
    auto judge = [](const wchar_t* sddl) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr);
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL defaulted = FALSE, present = FALSE;
        GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
        const std::vector<BYTE> self = VqBase::ProcessUserSid();
        std::wstring why = diagctl::JudgeExportFile(owner, dacl, self.data());
        LocalFree(descriptor);
        return why;
    };
    EXPECT_EQ(judge(L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200A9;;;WD)"), L"");
    EXPECT_THAT(judge(L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)"), HasSubstr(L"owner S-1-5-21-1-2-3-1001"));
    EXPECT_THAT(judge(L"O:BAD:(A;;FA;;;BA)(A;;0x1301BF;;;BU)"), HasSubstr(L"S-1-5-32-545 may change it"));
    EXPECT_THAT(judge(L"O:BAD:(A;;FA;;;BA)(A;;0x100002;;;WD)"), HasSubstr(L"S-1-1-0 may change it"));

    channel_test::TempPath file(L"owned", L"owners");
    ASSERT_TRUE(CloseHandle(CreateFileW(file.Path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)));
    std::wstring why;
    const std::optional<diagctl::TargetPath> path = diagctl::ParseTargetPath(file.Path(), why);
    ASSERT_TRUE(path) << Narrow(why);
    diagctl::HeldChain chain;
    ASSERT_EQ(chain.Walk(*path, VqBase::ProcessUserSid(), false), diagctl::HeldChain::Held) << Narrow(chain.Problem());
    const std::vector<BYTE> system(std::begin(VqBase::kSidLocalSystem), std::end(VqBase::kSidLocalSystem));
    diagctl::HeldFile foreign;
    EXPECT_EQ(foreign.Open(chain.Last(), chain.Path(), path->File, system), diagctl::HeldFile::Untrusted);
    EXPECT_THAT(foreign.Problem(), HasSubstr(L"owner S-1-5-21-"));
    diagctl::HeldFile own;
    EXPECT_EQ(own.Open(chain.Last(), chain.Path(), path->File, VqBase::ProcessUserSid()), diagctl::HeldFile::Held)
        << Narrow(own.Problem());
    EXPECT_FALSE(own.Created());
}

// A FILE that a stop cut short would pass for a complete export, and one
// that diagctl made for a pair that failed is no export at all: both are
// removed, by the handle of the file judged. A FILE of the operator's that
// reg.exe failed on is left as it was.
TEST(ExportTargets, AStoppedExportsFileAndOneMadeForAFailedPairAreRemoved) {
    Scratch scratch;
    const std::wstring made = scratch / L"made.reg", existing = scratch / L"existing.reg";
    auto serveWith = [](const diagctl::ChannelNames& names, channel_test::FakeLauncher& launcher,
                        const std::vector<std::wstring>& partial) {
        return [&names, &launcher, partial] {
            DiagService service(channel_test::ServiceNames(names), launcher.Starter());
            if (service.m_Events.WaitForWork() != 0)
                return;
            // What reg.exe wrote before it was ended.
            for (const std::wstring& file : partial) {
                const HANDLE written = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                   nullptr, OPEN_EXISTING, 0, nullptr);
                DWORD count = 0;
                WriteFile(written, "\xFF\xFEW\0", 4, &count, nullptr);
                CloseHandle(written);
            }
            service.MainLogic();
            service.m_Events.SetWorkDone();
        };
    };
    {
        CloseHandle(CreateFileW(existing.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        channel_test::FakeLauncher stopped;
        stopped.FailAt = {0, 1};
        stopped.FailError = ERROR_OPERATION_ABORTED;
        std::wstring prefix;
        diagctl::ChannelNames names;
        const std::wstring options = NamesOption(prefix, names);
        const DiagctlRun run = RunDiagctl(options + L"export HKCU\\a=" + made + L" HKCU\\b=" + existing, names,
                                          serveWith(names, stopped, {made, existing}));
        EXPECT_EQ(run.ExitCode, Code(diagproto::kExitFailed)) << run.Out << run.Err;
        EXPECT_THAT(run.Out, HasSubstr("removed \"" + Narrow(made) + "\": a stop of the service ended its export"));
        EXPECT_THAT(run.Out, HasSubstr("removed \"" + Narrow(existing) + "\": a stop"));
        EXPECT_FALSE(Exists(made));
        EXPECT_FALSE(Exists(existing));
    }
    {
        CloseHandle(CreateFileW(existing.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        const std::wstring failed = scratch / L"failed.reg";
        channel_test::FakeLauncher exits;  // exit codes 0, 1 and 2 in turn
        exits.FirstExitCode = 0;
        std::wstring prefix;
        diagctl::ChannelNames names;
        const std::wstring options = NamesOption(prefix, names);
        const DiagctlRun run = RunDiagctl(options + L"export HKCU\\a=" + made + L" HKCU\\b=" + failed + L" HKCU\\c=" +
                                              existing,
                                          names, serveWith(names, exits, {made}));
        EXPECT_EQ(run.ExitCode, Code(diagproto::kExitFailed)) << run.Out << run.Err;
        EXPECT_TRUE(Exists(made));
        EXPECT_FALSE(Exists(failed));
        EXPECT_THAT(run.Out, HasSubstr("removed \"" + Narrow(failed) + "\": diagctl had made it"));
        EXPECT_TRUE(Exists(existing));
    }
}

// What was wrong is named, with that one verb's usage and no other.
TEST(Diagctl, EachBadInputNamesItsReasonWithOnlyThatVerbsUsage) {
    const diagctl::ChannelNames none;
    const struct {
        const wchar_t* Arguments;
        const char* Reason;
        const char* Usage;
        const char* NotShown;
    } cases[] = {
        {L"control -5", "bad control code \"-5\"", "usage: diagctl control CODE\n", "install"},
        {L"control 99999999999", "bad control code \"99999999999\"", "usage: diagctl control CODE\n", "install"},
        {L"--names \"\" quit", "--names needs a value: \"\" is empty", "usage: diagctl [OPTION ...] quit\n", "raw"},
        {L"QUIT --timeout +5", "bad --timeout \"+5\"", "usage: diagctl [OPTION ...] quit\n", "raw"},
        {L"trace SET --max-size -1", "bad --max-size \"-1\"", "trace set\n", "trace tail"},
        {L"Trace Show --bogus", "unknown option --bogus", "usage: diagctl [OPTION ...] trace show\n", "trace set"},
        {L"collect", "collect needs one DIR", "usage: diagctl collect DIR\n", "locale"},
        {L"LOCALE set english", "bad NAME \"english\"", "usage: diagctl locale set NAME\n", "locale show"},
        {L"frobnicate", "unknown verb \"frobnicate\"", "verbs:\n", "exit codes:"},
    };
    for (const auto& c : cases) {
        const DiagctlRun run = RunDiagctl(c.Arguments, none);
        SCOPED_TRACE(Narrow(c.Arguments) + "\n" + run.Err);
        EXPECT_EQ(run.ExitCode, Code(diagproto::kExitUsage));
        EXPECT_THAT(run.Err, HasSubstr("diagctl: " + std::string(c.Reason)));
        EXPECT_THAT(run.Err, HasSubstr(c.Usage));
        EXPECT_EQ(run.Err.find(c.NotShown), std::string::npos);
    }
}

// --json: one object on the standard output and nothing else, kept for the
// check against the documented schema.
TEST(Diagctl, JsonOfRepliesTheTraceVerbsStatusAndVersionsIsOneObjectEach) {
    channel_test::TestKey key(L"diagctl-json");
    ASSERT_TRUE(key.SetString(L"", L"v", L"1"));
    channel_test::TempPath file(L"diagctl-json");
    std::wstring prefix;
    diagctl::ChannelNames names;
    const std::wstring options = NamesOption(prefix, names);
    const struct {
        std::wstring Arguments;
        bool Served;
        DWORD Exit;
        const char* Sample;
    } runs[] = {
        {options + L"--json export \"" + key.Path() + L"=" + file.Path() + L"\"", true, 0, "reply-export"},
        {options + L"raw 7 0 --json", true, Code(diagproto::kExitRefused), "reply-raw"},
        {options + L"--timeout 200 --json quit", false, Code(diagproto::kExitTimeout), "reply-no-reply"},
        {L"trace show --json", false, 0, "traceShow"},
        {L"trace check --json", false, 0, "traceCheck"},
        {L"status --json", false, ERROR_SERVICE_DOES_NOT_EXIST, "status-not-installed"},
        {L"--version --json", false, 0, "version"},
    };
    for (const auto& run : runs) {
        const DiagctlRun done = RunDiagctl(run.Arguments, names, run.Served ? ServeOne(names) : std::function<void()>());
        SCOPED_TRACE(run.Sample + std::string("\n") + done.Out + done.Err);
        EXPECT_EQ(done.ExitCode, run.Exit);
        ASSERT_FALSE(done.Out.empty());
        EXPECT_EQ(done.Out.front(), '{');
        EXPECT_EQ(done.Out.find('\n'), done.Out.size() - 1) << "one line, nothing else";
        testing_support::KeepJsonSample(run.Sample, done.Out.substr(0, done.Out.size() - 1));
    }
}
