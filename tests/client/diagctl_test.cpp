// diagctl against a service hosted by the test on channel names of its own.
#include <windows.h>
#include <sddl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "channel_support.h"
#include "child_process.h"
#include "diagproto.h"
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
        {L"trace check --json", false, Code(diagctl::kExitLogRefused), "traceCheck"},
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
