// diagctl trace against the prefix's own registry and the real service: set,
// off and show of the configuration, each with one bad input, and tail
// following the log across a restart of the service.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "e2e_support.h"
#include "unix_side.h"

namespace {

using e2e::Diagctl;
using e2e::ProcessResult;
using testing_support::RunUnixShell;
using testing_support::UnixPath;

constexpr wchar_t kTraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vqcc0\\Trace";
constexpr wchar_t kProgramKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vqcc0\\Trace\\ReRiruRuvazor";
constexpr DWORD kExitUsage = 0x20000001;

std::optional<DWORD> Number(const wchar_t* key, const wchar_t* name) {
    DWORD value = 0, size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

std::wstring Text(const wchar_t* key, const wchar_t* name) {
    wchar_t value[600] = {};
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS ? value
                                                                                                               : L"";
}

bool Has(const ProcessResult& run, const std::string& fragment) { return run.Output.find(fragment) != std::string::npos; }

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream(std::string(path.begin(), path.end()), std::ios::binary) << bytes;
}

// The "file:" line of trace show: the path it names.
std::string ShownFile(const ProcessResult& show) {
    const size_t at = show.Output.find("file:");
    if (at == std::string::npos)
        return {};
    const size_t from = show.Output.find_first_not_of(' ', at + 5);
    return show.Output.substr(from, show.Output.find(" (", from) - from);
}

class TraceVerbs : public ::testing::Test {
protected:
    TraceVerbs() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTraceKey); }
    ~TraceVerbs() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTraceKey); }
};

}  // namespace

TEST_F(TraceVerbs, SetWritesOnlyWhatItIsToldAndRefusesABadOptionBeforeWritingAnything) {
    ProcessResult run = Diagctl(L"trace set --levels info,warning,error --sinks file --fields date,time "
                                L"--path C:\\vq-e2e-trace --append on");
    ASSERT_EQ(run.ExitCode, 0u) << run.Output;
    EXPECT_TRUE(Has(run, "next start")) << run.Output;
    EXPECT_EQ(Number(kProgramKey, L"EnableMask"), 0x0Eu);
    EXPECT_EQ(Number(kProgramKey, L"ParamsMask"), 0x3101u);
    EXPECT_EQ(Number(kProgramKey, L"MaxFileSize"), 16u << 20);
    EXPECT_EQ(Text(kTraceKey, L"TracePath"), L"C:\\vq-e2e-trace");

    run = Diagctl(L"trace set --levels error --max-size 0");
    ASSERT_EQ(run.ExitCode, 0u) << run.Output;
    EXPECT_EQ(Number(kProgramKey, L"EnableMask"), 0x08u);
    EXPECT_EQ(Number(kProgramKey, L"ParamsMask"), 0x3101u);
    EXPECT_EQ(Number(kProgramKey, L"MaxFileSize"), 0u);

    // An unknown level after a good option, and a relative path: nothing written.
    for (const wchar_t* bad : {L"trace set --sinks debugger --levels info,loud", L"trace set --path logs\\here"}) {
        run = Diagctl(bad);
        EXPECT_EQ(run.ExitCode, kExitUsage) << run.Output;
        EXPECT_EQ(Number(kProgramKey, L"ParamsMask"), 0x3101u) << run.Output;
        EXPECT_EQ(Text(kTraceKey, L"TracePath"), L"C:\\vq-e2e-trace");
    }
    EXPECT_TRUE(Has(run, "full directory path")) << run.Output;

    // off writes EnableMask 0 and takes no option.
    run = Diagctl(L"trace off --levels info");
    EXPECT_EQ(run.ExitCode, kExitUsage) << run.Output;
    EXPECT_EQ(Number(kProgramKey, L"EnableMask"), 0x08u);
    run = Diagctl(L"trace off");
    ASSERT_EQ(run.ExitCode, 0u) << run.Output;
    EXPECT_EQ(Number(kProgramKey, L"EnableMask"), 0u);
    EXPECT_EQ(Number(kProgramKey, L"ParamsMask"), 0x3101u);
    EXPECT_TRUE(Has(run, "will write nothing: no level is on")) << run.Output;
}

// A log without times cannot be read by: the first ParamsMask comes with
// date, time, milliseconds and ids unless fields are given; a choice made
// later stays.
TEST_F(TraceVerbs, TheFirstSinksComeWithTheFieldsAnAdministratorReadsBy) {
    ASSERT_EQ(Diagctl(L"trace set --sinks file").ExitCode, 0u);
    EXPECT_EQ(Number(kProgramKey, L"ParamsMask"), 0x3C01u);
    ASSERT_EQ(Diagctl(L"trace set --fields none").ExitCode, 0u);
    ASSERT_EQ(Diagctl(L"trace set --append on").ExitCode, 0u);
    EXPECT_EQ(Number(kProgramKey, L"ParamsMask"), 0x0101u);
}

TEST_F(TraceVerbs, ShowNamesWhereEachValueCameFromAndAValueOfTheWrongType) {
    ProcessResult run = Diagctl(L"trace show");
    ASSERT_EQ(run.ExitCode, 0u) << run.Output;
    EXPECT_TRUE(Has(run, "does not exist: the service writes no trace")) << run.Output;

    ASSERT_EQ(Diagctl(L"trace set --levels error --sinks file --path C:\\vq-e2e-show").ExitCode, 0u);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTraceKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    const DWORD force = 0x0E;
    RegSetValueExW(key, L"ForceEnableMask", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&force), sizeof(force));
    const wchar_t wrong[] = L"0x3101";
    RegSetValueExW(key, L"ParamsMask", 0, REG_SZ, reinterpret_cast<const BYTE*>(wrong), sizeof(wrong));
    RegCloseKey(key);

    run = Diagctl(L"trace show");
    ASSERT_EQ(run.ExitCode, 0u) << run.Output;
    EXPECT_TRUE(Has(run, "levels:     info,warning,error (EnableMask 0x0000000E, from ForceEnableMask of the Trace key)"))
        << run.Output;
    EXPECT_TRUE(Has(run, "sinks:      file (ParamsMask 0x00003C01, from ParamsMask of the program key)")) << run.Output;
    EXPECT_TRUE(Has(run, "file:       C:\\vq-e2e-show\\ReRiruRuvazor.log (private")) << run.Output;
    EXPECT_TRUE(Has(run, "max size:   16777216 bytes, then C:\\vq-e2e-show\\ReRiruRuvazor.log.1")) << run.Output;
    EXPECT_TRUE(Has(run, "vqcc0\\Trace\\ParamsMask: REG_SZ of 14 bytes, not a 4-byte number")) << run.Output;

    // set says that the Force value wins over what it writes.
    run = Diagctl(L"trace set --levels info");
    EXPECT_TRUE(Has(run, "ForceEnableMask 0x0000000E in the Trace key wins over EnableMask")) << run.Output;
}

TEST_F(TraceVerbs, TailFollowsTheLogAcrossARestartThatEmptiesIt) {
    const std::wstring dir = e2e::FreshDirectory(L"vq-e2e-tail");
    ASSERT_EQ(Diagctl(L"trace set --levels info,warning,error --sinks file --append off --path " + dir).ExitCode, 0u);
    e2e::ServiceRegistration registration;
    ASSERT_TRUE(registration.Installed());
    const std::wstring out = dir + L"\\out.reg";
    ASSERT_EQ(Diagctl(L"session export HKCU\\TailMarkerOne=" + out).ExitCode, 0x20000003u);

    ProcessResult tail = Diagctl(L"trace tail -n 500");
    EXPECT_EQ(tail.ExitCode, 0u) << tail.Output;
    EXPECT_TRUE(Has(tail, "TailMarkerOne")) << tail.Output;

    testing_support::Child follow;
    ASSERT_TRUE(follow.Start(L"\"" + e2e::InBin(L"diagctl.exe") + L"\" trace tail --follow -n 0"));
    Sleep(500);
    // The second start empties the private log and writes it again.
    ASSERT_EQ(Diagctl(L"session export HKCU\\TailMarkerTwo=" + out).ExitCode, 0x20000003u);
    bool seen = false;
    for (int i = 0; i < 50 && !seen; ++i, Sleep(200)) seen = follow.Output().find("TailMarkerTwo") != std::string::npos;
    EXPECT_TRUE(seen) << follow.Output();
    EXPECT_EQ(follow.Output().find("TailMarkerOne"), std::string::npos) << follow.Output();
    const std::string followed = follow.Output();
    // Every line of the new run, from its first: the service's start line.
    EXPECT_NE(followed.find("[app::args::parse]"), std::string::npos) << followed;
    follow.GiveUp("trace tail --follow, ended by the test", 0);
}

TEST_F(TraceVerbs, CheckAndTheServiceAgreeOnEachDirectory) {
    e2e::ServiceRegistration registration;
    ASSERT_TRUE(registration.Installed());
    // A name of this run's own: a chmod and a link are more than the fresh
    // directory's emptying takes away.
    const std::wstring base = e2e::FreshDirectory(L"vq-e2e-check-" + std::to_wstring(GetTickCount64()));
    const std::wstring open = base + L"\\open", elsewhere = base + L"\\elsewhere";
    ASSERT_TRUE(CreateDirectoryW(open.c_str(), nullptr) && CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(RunUnixShell("chmod o+w '" + UnixPath(open) + "' && ln -s '" + UnixPath(elsewhere) + "' '" +
                             UnixPath(base + L"\\link") + "'"));
    const struct {
        std::wstring Directory;
        bool Written;
    } cases[] = {{base + L"\\trusted", true},
                 {base + L"\\missing\\deeper", true},
                 {open + L"\\logs", false},
                 {base + L"\\link\\logs", false}};
    ASSERT_TRUE(CreateDirectoryW(cases[0].Directory.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(cases[2].Directory.c_str(), nullptr));
    for (const auto& c : cases) {
        ASSERT_EQ(Diagctl(L"trace set --levels info,warning,error --sinks file --path " + c.Directory).ExitCode, 0u);
        const ProcessResult check = Diagctl(L"trace check");
        EXPECT_EQ(check.ExitCode, c.Written ? 0u : 0x20000006u) << check.Output;
        EXPECT_TRUE(Has(check, c.Written ? "the service will write to" : "the service will refuse")) << check.Output;
        // Judged without creating anything.
        EXPECT_EQ(GetFileAttributesW((base + L"\\missing").c_str()), INVALID_FILE_ATTRIBUTES);
        ASSERT_EQ(Diagctl(L"session").ExitCode, 0u);
        const bool written = GetFileAttributesW((c.Directory + L"\\ReRiruRuvazor.log").c_str()) != INVALID_FILE_ATTRIBUTES;
        EXPECT_EQ(written, c.Written) << check.Output;
        DeleteFileW((c.Directory + L"\\ReRiruRuvazor.log").c_str());
        RemoveDirectoryW((base + L"\\missing\\deeper").c_str());
        RemoveDirectoryW((base + L"\\missing").c_str());
    }
    const ProcessResult refused = Diagctl(L"trace check");
    EXPECT_TRUE(Has(refused, "link\"")) << refused.Output;  // names the directory at fault
    RunUnixShell("rm -rf '" + UnixPath(base) + "'");
}

// A log that anyone may append to is printed without a control character
// reaching the terminal; a line count of any size ends.
TEST_F(TraceVerbs, TailSendsNoControlCharacterToTheConsoleAndEndsWhateverTheCount) {
    const std::wstring dir = e2e::FreshDirectory(L"vq-e2e-tail-controls");
    ASSERT_EQ(Diagctl(L"trace set --levels error --sinks file --path " + dir).ExitCode, 0u);
    WriteBytes(dir + L"\\ReRiruRuvazor.log",
               "one\r\nforged \x1B]0;title\x07 \x1B[2J bare\rover \x98\x7F tab\tend\r\nlast");
    const ProcessResult tail = Diagctl(L"trace tail -n 4294967295", 15000);
    ASSERT_EQ(tail.ExitCode, 0u) << tail.Output;
    EXPECT_TRUE(Has(tail, "reading " + std::string(dir.begin(), dir.end()) + "\\ReRiruRuvazor.log")) << tail.Output;
    for (const char* shown : {"one\n", "\\x1B]0;title\\x07 \\x1B[2J bare\\x0Dover \\x98\\x7F tab\tend\n", "last\n"})
        EXPECT_TRUE(Has(tail, shown)) << shown << "\n" << tail.Output;
    // The raw bytes: no C0 control but TAB and LF, no DEL, no C1 control in UTF-8.
    for (size_t i = 0; i < tail.Output.size(); ++i) {
        const auto byte = static_cast<unsigned char>(tail.Output[i]);
        const auto next = static_cast<unsigned char>(i + 1 < tail.Output.size() ? tail.Output[i + 1] : 0);
        EXPECT_FALSE((byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7F ||
                     (byte == 0xC2 && next >= 0x80 && next <= 0x9F))
            << "byte " << int(byte) << " at " << i;
    }

    // Where the service writes a fallback file, that is what is read, and
    // named; an older one, or one that is a directory, is not.
    Sleep(20);
    CreateDirectoryW((dir + L"\\ReRiruRuvazor.fallback-FFFFFFFFFFFFFFFF.log").c_str(), nullptr);
    const std::wstring fallback = dir + L"\\ReRiruRuvazor.fallback-0123456789ABCDEF.log";
    WriteBytes(fallback, "written aside\r\n");
    const ProcessResult aside = Diagctl(L"trace tail -n 1");
    EXPECT_TRUE(Has(aside, "written aside\n")) << aside.Output;
    EXPECT_TRUE(Has(aside, "fallback file " + std::string(fallback.begin(), fallback.end()))) << aside.Output;
}

// Memory stays bounded whatever the line length. Wine reports no private
// bytes of another process, only its peak working set, of which some 20 MB
// are the shared pages of its DLLs: the bound is on what the line adds to
// the peak of a diagctl that reads nothing.
TEST_F(TraceVerbs, TailPrintsA64MiBLineWithoutHoldingIt) {
    const std::wstring dir = e2e::FreshDirectory(L"vq-e2e-tail-long");
    ASSERT_EQ(Diagctl(L"trace set --levels error --sinks file --path " + dir).ExitCode, 0u);
    constexpr size_t kLine = 64u << 20;
    WriteBytes(dir + L"\\ReRiruRuvazor.log", "first\r\n" + std::string(kLine, 'x') + "\r\nlast\r\n");
    auto peakOf = [](const std::wstring& arguments, std::string* output) {
        testing_support::Child child;
        SIZE_T peak = 0;
        if (!child.Start(L"\"" + e2e::InBin(L"diagctl.exe") + L"\" " + arguments))
            return peak;
        do {
            PROCESS_MEMORY_COUNTERS counters{};
            if (GetProcessMemoryInfo(child.Process(), &counters, sizeof(counters)))
                peak = std::max(peak, counters.PeakWorkingSetSize);
        } while (WaitForSingleObject(child.Process(), 5) == WAIT_TIMEOUT);
        child.Wait(std::string(arguments.begin(), arguments.end()));
        if (output)
            *output = child.Output();
        return peak;
    };
    const SIZE_T idle = peakOf(L"trace tail -n 0", nullptr);
    std::string output;
    const SIZE_T reading = peakOf(L"trace tail -n 3", &output);
    ASSERT_GT(idle, 0u);
    EXPECT_LE(reading, idle + (8u << 20)) << "peak working set " << (reading >> 10) << " KiB against " << (idle >> 10);
    const size_t line = output.find(std::string(4096, 'x'));
    ASSERT_NE(line, std::string::npos);
    EXPECT_EQ(output.find("\nlast\n", line), line + kLine) << "the line whole, then the next";
    EXPECT_TRUE(output.find("first\n") < line);
}

// Without TracePath the log lies in the service's temporary directory: what
// show names is the file the service writes, whatever diagctl's own TEMP.
TEST_F(TraceVerbs, ShowNamesTheFileTheServiceWritesAndCheckSaysNotTracedWithoutTheKey) {
    const ProcessResult check = Diagctl(L"trace check");
    EXPECT_TRUE(check.ExitCode == 0 && Has(check, "is not traced")) << check.ExitCode << check.Output;
    EXPECT_TRUE(Has(Diagctl(L"trace tail"), "is not traced"));

    ASSERT_EQ(Diagctl(L"trace set --levels info,warning,error --sinks file --append off").ExitCode, 0u);
    const std::wstring own = e2e::FreshDirectory(L"vq-e2e-own-temp");
    wchar_t saved[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TEMP", saved, MAX_PATH);
    SetEnvironmentVariableW(L"TEMP", own.c_str());
    SetEnvironmentVariableW(L"TMP", own.c_str());
    const ProcessResult show = Diagctl(L"trace show");
    SetEnvironmentVariableW(L"TEMP", saved);
    SetEnvironmentVariableW(L"TMP", saved);
    const std::string shown = ShownFile(show);
    ASSERT_FALSE(shown.empty()) << show.Output;
    EXPECT_TRUE(Has(show, "the service's temporary directory")) << show.Output;
    const std::wstring file(shown.begin(), shown.end());
    DeleteFileW(file.c_str());

    e2e::ServiceRegistration registration;
    ASSERT_TRUE(registration.Installed());
    ASSERT_EQ(Diagctl(L"session").ExitCode, 0u);
    std::ifstream log(shown, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[app::args::parse]"), std::string::npos) << shown << " holds: " << text.substr(0, 500);
    EXPECT_EQ(GetFileAttributesW((own + L"\\ReRiruRuvazor.log").c_str()), INVALID_FILE_ATTRIBUTES);
    log.close();
    DeleteFileW(file.c_str());
}

// trace off keeps what EnableMask of the program key was (a value, or none
// when the Trace key's applied), and trace on brings exactly that back.
TEST_F(TraceVerbs, OnBringsBackWhatOffFound) {
    ASSERT_EQ(Diagctl(L"trace set --levels info,error --sinks file --path C:\\vq-e2e-onoff").ExitCode, 0u);
    for (const bool inProgramKey : {true, false}) {
        SCOPED_TRACE(inProgramKey ? "EnableMask of the program key" : "EnableMask of the Trace key");
        if (!inProgramKey) {
            HKEY key = nullptr;
            ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProgramKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
            RegDeleteValueW(key, L"EnableMask");
            RegCloseKey(key);
            ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTraceKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
            const DWORD errors = 8;
            RegSetValueExW(key, L"EnableMask", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&errors), sizeof(errors));
            RegCloseKey(key);
        }
        const ProcessResult before = Diagctl(L"trace show");
        ASSERT_EQ(Diagctl(L"trace off").ExitCode, 0u);
        ASSERT_EQ(Diagctl(L"trace off").ExitCode, 0u);  // a second off keeps what the first found
        const ProcessResult off = Diagctl(L"trace show");
        EXPECT_TRUE(Has(off, "no level is on")) << off.Output;
        const ProcessResult on = Diagctl(L"trace on");
        EXPECT_EQ(on.ExitCode, 0u) << on.Output;
        EXPECT_EQ(Diagctl(L"trace show").Output, before.Output);
        EXPECT_EQ(Number(kProgramKey, L"EnableMask").has_value(), inProgramKey);
    }
    const ProcessResult again = Diagctl(L"trace on");
    EXPECT_EQ(again.ExitCode, 0u) << again.Output;
    EXPECT_TRUE(Has(again, "on already")) << again.Output;
}
