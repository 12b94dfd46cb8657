// diagctl session against the real service: channel, start, requests, Quit
// and how the service ended.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "channel.h"
#include "diagproto.h"
#include "child_process.h"
#include "e2e_support.h"
#include "json_samples.h"
#include "unix_side.h"

namespace {

using e2e::Diagctl;
using e2e::ProcessResult;

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

// A key under HKCU with a non-ASCII name, removed again whatever happens.
class NonAsciiKey {
public:
    NonAsciiKey() {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, m_SubKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) == ERROR_SUCCESS)
            RegCloseKey(key);
    }
    ~NonAsciiKey() { RegDeleteTreeW(HKEY_CURRENT_USER, m_SubKey.c_str()); }
    std::wstring Path() const { return L"HKCU\\" + m_SubKey; }

private:
    std::wstring m_SubKey = L"Software\\ReRiruRuvazorTests\\\u0441\u0435\u0441\u0441\u0438\u044F";
};

class Session : public ::testing::Test {
protected:
    e2e::TraceToFile m_Trace{L"Session"};
    e2e::ServiceRegistration m_Registration;
};

TEST_F(Session, RunsEachRequestQuitsAndReportsACleanEndWithNonAsciiNamesWhole) {
    ASSERT_TRUE(m_Registration.Installed());
    const NonAsciiKey key;
    const std::wstring file = e2e::FreshDirectory(L"vq-session") + L"\\\u0444\u0430\u0439\u043B.reg";
    const ProcessResult run = Diagctl(L"session export \"" + key.Path() + L"=" + file + L"\"");
    EXPECT_EQ(run.ExitCode, 0u) << run.Output;
    EXPECT_NE(run.Output.find("pair 1: key \"" + Utf8(key.Path()) + "\" file \"" + Utf8(file) +
                              "\" exit code 0 (0x00000000)"),
              std::string::npos)
        << run.Output;
    EXPECT_NE(run.Output.find("Quit:"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("STOPPED, win32 exit code 0, service exit code 0"), std::string::npos) << run.Output;
    EXPECT_NE(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);
    // diagctl writes nothing of its own into the service's log, and never
    // empties it as a start of its own would.
    const auto lines = m_Trace.Lines();
    EXPECT_NE(e2e::FindLine(lines, "[DiagService::MainLogic] WorkType: ExportRegKeys"), -1);
}

// reg.exe writes as LocalSystem: a directory that others may change, or a
// link planted where the file goes, would let them redirect the write.
TEST_F(Session, AnExportOthersCouldRedirectIsRefusedUnlessAllowed) {
    if (!testing_support::UnderWine()) GTEST_SKIP() << "a chmod and a Unix link stand in for a DACL and a junction";
    ASSERT_TRUE(m_Registration.Installed());
    const std::wstring open = e2e::FreshDirectory(L"vq-session-open");
    ASSERT_TRUE(testing_support::RunUnixShell("chmod o+w '" + testing_support::UnixPath(open) + "'"));
    const std::wstring linked = e2e::FreshDirectory(L"vq-session-linked");
    const std::wstring elsewhere = e2e::FreshDirectory(L"vq-session-elsewhere") + L"\\victim.reg";
    ASSERT_TRUE(testing_support::RunUnixShell("touch '" + testing_support::UnixPath(elsewhere) + "' && ln -s '" +
                                              testing_support::UnixPath(elsewhere) + "' '" +
                                              testing_support::UnixPath(linked) + "/out.reg'"));
    const std::pair<std::wstring, std::string> targets[] = {
        {open + L"\\out.reg", "S-1-1-0 may change it"},
        {linked + L"\\out.reg", "leads to"},
    };
    for (const auto& [file, why] : targets) {
        const ProcessResult refused = Diagctl(L"session export HKCU\\Software\\Wine=" + file);
        EXPECT_EQ(refused.ExitCode, diagproto::kExitTargetRefused) << refused.Output;
        EXPECT_NE(refused.Output.find(why), std::string::npos) << refused.Output;
        EXPECT_NE(refused.Output.find("--allow-untrusted-target"), std::string::npos) << refused.Output;
    }
    EXPECT_EQ(GetFileAttributesW((open + L"\\out.reg").c_str()), INVALID_FILE_ATTRIBUTES) << "nothing was posted";

    const ProcessResult allowed =
        Diagctl(L"session --allow-untrusted-target export HKCU\\Software\\Wine=" + open + L"\\out.reg");
    EXPECT_EQ(allowed.ExitCode, 0u) << allowed.Output;
    EXPECT_NE(allowed.Output.find("warning"), std::string::npos) << allowed.Output;
    EXPECT_NE(GetFileAttributesW((open + L"\\out.reg").c_str()), INVALID_FILE_ATTRIBUTES);
}

// The service ends after a request it refuses: the session ends with it,
// says how, and posts nothing more (no Quit, no later request).
TEST_F(Session, ARefusedRequestEndsTheSessionAtOnceWithTheServicesEnd) {
    ASSERT_TRUE(m_Registration.Installed());
    const ProcessResult run = Diagctl(L"session raw 7 0 export HKCU\\Software=C:\\never.reg");
    EXPECT_EQ(run.ExitCode, static_cast<DWORD>(diagproto::kExitRefused)) << run.Output;
    EXPECT_LT(run.ElapsedMs, 30000u);
    EXPECT_NE(run.Output.find("result: 13 (0x0000000D)"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("STOPPED, win32 exit code 13, service exit code 4294967295 (0xFFFFFFFF)"),
              std::string::npos)
        << run.Output;
    EXPECT_NE(run.Output.find("win32 exit code 13 (0x0000000D): "), std::string::npos) << run.Output;
    EXPECT_EQ(run.Output.find("Quit:"), std::string::npos) << run.Output;
    EXPECT_EQ(run.Output.find("request 2:"), std::string::npos) << run.Output;
    EXPECT_EQ(m_Trace.Text().find("WorkType: Quit"), std::string::npos);

    // status: the same end, with the configuration that install wrote; a
    // failed run is its own exit code, and every code is said in words.
    const ProcessResult status = Diagctl(L"status");
    EXPECT_EQ(status.ExitCode, static_cast<DWORD>(diagproto::kExitStoppedAfterFailure)) << status.Output;
    EXPECT_NE(status.Output.find("STOPPED, win32 exit code 13"), std::string::npos) << status.Output;
    EXPECT_NE(status.Output.find("meaning: a request was refused"), std::string::npos) << status.Output;
    EXPECT_NE(status.Output.find("(0xFFFFFFFF): not a code of the service's own"), std::string::npos) << status.Output;
    testing_support::KeepJsonSample("status-stopped-refused", testing_support::JsonLine(Diagctl(L"status --json").Output));
    EXPECT_NE(status.Output.find("start type: demand"), std::string::npos) << status.Output;
    EXPECT_NE(status.Output.find("image path: \"" + Utf8(m_Registration.Executable()) + "\""),
              std::string::npos)
        << status.Output;
}

// A missing key is a failed export: the session goes on to Quit, and its
// exit code says so, as export's would.
TEST_F(Session, AFailedExportMakesTheSessionExitWithTheFailedCode) {
    ASSERT_TRUE(m_Registration.Installed());
    const std::wstring file = e2e::FreshDirectory(L"vq-session-missing") + L"\\missing.reg";
    const ProcessResult run = Diagctl(L"session export HKCU\\Software\\ReRiruRuvazorTests\\NoSuchKey=" + file);
    EXPECT_EQ(run.ExitCode, static_cast<DWORD>(diagproto::kExitFailed)) << run.Output;
    EXPECT_NE(run.Output.find("exit code 1 (0x00000001)"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("1 of 1 pairs failed\npair 1 (exit code 1): reg.exe failed: the key does not exist"),
              std::string::npos)
        << run.Output;
    EXPECT_NE(run.Output.find("Quit:"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("STOPPED, win32 exit code 0, service exit code 0"), std::string::npos) << run.Output;
}

// Only the installed service answers on its channel, and it opens the
// channel only as it starts; it keeps the channel's objects while it runs,
// also after the program that made them has gone.
TEST_F(Session, OneShotRequestsSayAtOnceWhenNobodyServesTheChannelAndWhy) {
    ASSERT_TRUE(m_Registration.Installed());
    const std::wstring file = e2e::FreshDirectory(L"vq-stopped") + L"\\never.reg";
    const ProcessResult stopped = Diagctl(L"export HKCU\\Software=" + file, 30000);
    EXPECT_EQ(stopped.ExitCode, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE)) << stopped.Output;
    EXPECT_LT(stopped.ElapsedMs, 2000u) << stopped.Output;
    EXPECT_NE(stopped.Output.find("installed but stopped"), std::string::npos) << stopped.Output;
    EXPECT_NE(stopped.Output.find("\"diagctl session [REQUEST ...]\""), std::string::npos) << stopped.Output;
    EXPECT_EQ(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);

    std::wstring message;
    auto channel = diagctl::Channel::Create(diagctl::ProductChannelNames(), diagctl::kDefaultSectionSize, message);
    ASSERT_TRUE(channel);
    const ProcessResult started = e2e::DiagctlStart();
    ASSERT_NE(started.Output.find("RUNNING"), std::string::npos) << started.Output;
    channel.reset();
    const ProcessResult left = Diagctl(L"quit", 30000);
    EXPECT_EQ(left.ExitCode, static_cast<DWORD>(diagproto::kExitChannelTaken)) << left.Output;
    EXPECT_LT(left.ElapsedMs, 2000u) << left.Output;
    EXPECT_NE(left.Output.find("still runs on a channel that no diagctl holds any more"), std::string::npos)
        << left.Output;
    EXPECT_NE(left.Output.find("\"diagctl stop\""), std::string::npos) << left.Output;
    EXPECT_EQ(Diagctl(L"stop").ExitCode, 0u);
}

// A late reply would pass for the next request's: after a time-out nothing
// more is posted, and the service, which nobody could reach any more, is
// stopped.
TEST_F(Session, ATimedOutRequestEndsTheSessionAndStopsTheService) {
    ASSERT_TRUE(m_Registration.Installed());
    const std::wstring directory = e2e::FreshDirectory(L"vq-session-timeout");
    const ProcessResult run = Diagctl(L"session --timeout 1 export HKCU\\Software=" + directory +
                                      L"\\one.reg export HKCU\\Software=" + directory + L"\\two.reg");
    EXPECT_EQ(run.ExitCode, static_cast<DWORD>(diagproto::kExitTimeout)) << run.Output;
    EXPECT_NE(run.Output.find("no reply within 1 ms"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("the session ends here"), std::string::npos) << run.Output;
    EXPECT_EQ(run.Output.find("request 2:"), std::string::npos) << run.Output;
    EXPECT_EQ(run.Output.find("Quit:"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("STOPPED"), std::string::npos) << run.Output;
    // The stop may come before the service has even taken the request.
    const std::string trace = m_Trace.Text();
    EXPECT_EQ(trace.find("WorkType: ExportRegKeys", trace.find("WorkType: ExportRegKeys") + 1), std::string::npos)
        << trace;
    EXPECT_EQ(trace.find("WorkType: Quit"), std::string::npos) << trace;
}

// What a support case needs, gathered into one new directory that only the
// administrators may change: every piece the summary names is there.
TEST_F(Session, CollectGathersEveryPieceAndRefusesADirectoryThatExists) {
    ASSERT_TRUE(m_Registration.Installed());
    ASSERT_EQ(Diagctl(L"session").ExitCode, 0u);
    const std::wstring bundle = e2e::FreshDirectory(L"vq-collect") + L"\\case 1";
    const ProcessResult collected = Diagctl(L"collect \"" + bundle + L"\"");
    EXPECT_EQ(collected.ExitCode, 0u) << collected.Output;
    EXPECT_NE(GetFileAttributesW((bundle + L"\\summary.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    for (const wchar_t* piece : {L"ReRiruRuvazor.log", L"trace-show.json", L"trace-check.txt", L"status.json",
                                 L"versions.txt", L"events.txt"}) {
        EXPECT_NE(GetFileAttributesW((bundle + L"\\" + piece).c_str()), INVALID_FILE_ATTRIBUTES) << Utf8(piece);
        EXPECT_NE(collected.Output.find(Utf8(piece)), std::string::npos) << Utf8(piece) << collected.Output;
    }
    auto read = [&bundle](const wchar_t* file) {
        std::ifstream stream(std::filesystem::path(bundle) / file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    };
    EXPECT_NE(read(L"ReRiruRuvazor.log").find("WorkType: Quit"), std::string::npos);
    EXPECT_NE(read(L"events.txt").find("keeps no entries on this platform"), std::string::npos);
    EXPECT_NE(read(L"status.txt").find("STOPPED, win32 exit code 0"), std::string::npos);

    const ProcessResult again = Diagctl(L"collect \"" + bundle + L"\"");
    EXPECT_EQ(again.ExitCode, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << again.Output;
    EXPECT_NE(again.Output.find("exists already"), std::string::npos) << again.Output;
}

// A script checks health by status's exit code alone: 1060 not installed; 0
// when installed and never run, running, and after a clean run (a failed one:
// ARefusedRequestEndsTheSessionAtOnceWithTheServicesEnd).
TEST(Status, ExitCodesOfEachStateWithTheirJson) {
    const auto status = [](const char* sample) {
        const ProcessResult run = Diagctl(L"status --json");
        testing_support::KeepJsonSample(sample, testing_support::JsonLine(run.Output));
        return run.ExitCode;
    };
    {
        const e2e::ServiceRegistration removed;  // and removed again at once
    }
    EXPECT_EQ(status("status-gone"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    const e2e::ServiceRegistration registration;
    ASSERT_TRUE(registration.Installed());
    EXPECT_EQ(status("status-fresh"), 0u);
    std::wstring message;
    auto channel = diagctl::Channel::Create(diagctl::ProductChannelNames(), diagctl::kDefaultSectionSize, message);
    ASSERT_TRUE(channel);
    ASSERT_EQ(e2e::DiagctlStart().ExitCode, 0u);
    EXPECT_EQ(status("status-running"), 0u);
    EXPECT_EQ(channel->Post(diagproto::EncodeQuit(), 30000), diagctl::PostResult::Replied);
    SERVICE_STATUS stopped{};
    ASSERT_TRUE(e2e::WaitStopped(stopped));
    channel.reset();
    EXPECT_EQ(status("status-stopped-clean"), 0u);

    const std::wstring file = e2e::FreshDirectory(L"vq-status-json") + L"\\wine.reg";
    const ProcessResult session = Diagctl(L"session --json export HKCU\\Software\\Wine=" + file);
    EXPECT_EQ(session.ExitCode, 0u) << session.Output;
    testing_support::KeepJsonSample("session-export", testing_support::JsonLine(session.Output));
}

// A service whose process ends while its handler's answer to STOP is on its
// way (the product's does so when stopped while idle): the manager fails the
// control with 109, yet the service has stopped, and diagctl says so.
TEST(Stop, AServiceThatEndsInsideItsHandlerHasStopped) {
    const e2e::ServiceRegistration ending(e2e::InBin(L"vq_ending_service.exe"));
    ASSERT_TRUE(ending.Installed());
    ASSERT_EQ(e2e::DiagctlStart().ExitCode, 0u);
    const ProcessResult stopped = Diagctl(L"stop");
    EXPECT_EQ(stopped.ExitCode, 0u) << stopped.Output;
    EXPECT_NE(stopped.Output.find("STOPPED"), std::string::npos) << stopped.Output;
}

// Scripts call stop to make sure the service does not run: a service that
// is stopped already is success, said so, unlike sc.exe's 1062.
TEST(Stop, AServiceThatIsStoppedAlreadyIsSuccess) {
    const e2e::ServiceRegistration registration;
    ASSERT_TRUE(registration.Installed());
    const ProcessResult stopped = Diagctl(L"stop");
    EXPECT_EQ(stopped.ExitCode, 0u) << stopped.Output;
    EXPECT_NE(stopped.Output.find("ReRiruRuvazor: already stopped"), std::string::npos) << stopped.Output;
}

// A service that stops while the session waits for its reply will never
// answer (this one ignores its channel): the session notices within a
// second, says how the service ended and posts nothing more.
TEST(SessionWatch, AServiceStoppedDuringARequestEndsTheSessionWithinTwoSeconds) {
    const e2e::ServiceRegistration ending(e2e::InBin(L"vq_ending_service.exe"));
    ASSERT_TRUE(ending.Installed());
    testing_support::Child session;
    ASSERT_TRUE(session.Start(L"\"" + e2e::InBin(L"diagctl.exe") +
                              L"\" session --timeout 20000 export HKCU\\Software=C:\\never.reg"));
    for (int i = 0; i < 300 && session.Output().find("request 1:") == std::string::npos; ++i)
        Sleep(50);
    ASSERT_NE(session.Output().find("request 1:"), std::string::npos) << session.Output();
    const ProcessResult stop = Diagctl(L"stop");
    ASSERT_EQ(stop.ExitCode, 0u) << stop.Output;
    const ULONGLONG stopped = GetTickCount64();
    ASSERT_TRUE(session.Wait("the session after the service stopped", 25000));
    EXPECT_LT(GetTickCount64() - stopped, 2000u);
    EXPECT_EQ(session.ExitCode(), static_cast<DWORD>(diagproto::kExitFailed)) << session.Output();
    const std::string output = session.Output();
    EXPECT_NE(output.find("the service ended during request 1 without a reply; nothing more is posted"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("ReRiruRuvazor: STOPPED, win32 exit code 0"), std::string::npos) << output;
    EXPECT_EQ(output.find("Quit:"), std::string::npos) << output;
}

}  // namespace
