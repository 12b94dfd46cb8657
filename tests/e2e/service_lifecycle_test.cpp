// The service's life under the service control manager, seen from outside:
// its reports, its exit codes and its trace.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>

#include <fstream>
#include <iterator>

#include "service_fixture.h"
#include "unix_side.h"

namespace {

using e2e::Diagctl;
using e2e::InOrder;
using e2e::ProcessResult;

class ServiceLife : public e2e::ServiceFixture {};

// A string as Wine's debug output quotes it: each backslash doubled.
std::string Escaped(const std::string& text) {
    std::string escaped;
    for (char c : text) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return escaped;
}

constexpr wchar_t kEventSource[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ReRiruRuvazor";

// A registration by hand registers the event log source as the package does,
// with the message module beside the service, and removes it again.
TEST(ServiceInstall, RegistersTheEventSourceAndUninstallRemovesIt) {
    std::wstring messages, beside;
    DWORD types = 0;
    {
        const e2e::ServiceRegistration registration;
        beside = registration.Executable().substr(0, registration.Executable().find_last_of(L'\\') + 1);
        ASSERT_TRUE(registration.Installed());
        wchar_t text[MAX_PATH * 2] = {};
        DWORD size = sizeof text;
        EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kEventSource, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                               nullptr, text, &size),
                  ERROR_SUCCESS);
        messages = text;
        size = sizeof types;
        RegGetValueW(HKEY_LOCAL_MACHINE, kEventSource, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &size);
    }
    EXPECT_EQ(messages, beside + L"VqError.dll");
    EXPECT_EQ(types, 7u);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSource, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

// An executable in a directory others may change (chmod o+w: Wine reads it as
// Everyone's write access) is refused; --force installs it with a warning,
// and status warns too, beside the service security Wine does not keep.
TEST(ServiceInstall, AnExecutableOthersMayChangeIsRefusedUnlessForcedAndStatusWarns) {
    Diagctl(L"uninstall");
    const std::wstring directory = e2e::FreshDirectory(L"vq-e2e-open");
    ASSERT_TRUE(e2e::CopyInto(e2e::InBin(L"ReRiruRuvazor.exe"), directory + L"\\ReRiruRuvazor.exe"));
    const std::string unix = testing_support::UnixPath(directory);
    ASSERT_TRUE(testing_support::RunUnixShell("chmod o+w '" + unix + "'"));
    const std::string reason = "vq-e2e-open\": S-1-1-0 may change it or add to it";
    const ProcessResult refused = Diagctl(L"install \"" + directory + L"\\ReRiruRuvazor.exe\"");
    EXPECT_EQ(refused.ExitCode, static_cast<DWORD>(diagproto::kExitUntrustedExecutable)) << refused.Output;
    EXPECT_NE(refused.Output.find(reason), std::string::npos) << refused.Output;
    const ProcessResult forced = Diagctl(L"install --force \"" + directory + L"\\ReRiruRuvazor.exe\"");
    EXPECT_EQ(forced.ExitCode, 0u) << forced.Output;
    EXPECT_NE(forced.Output.find("warning: "), std::string::npos) << forced.Output;
    const std::string status = Diagctl(L"status").Output;
    Diagctl(L"uninstall");
    testing_support::RunUnixShell("chmod o-w '" + unix + "'");
    EXPECT_NE(status.find("  warning: "), std::string::npos) << status;
    EXPECT_NE(status.find(reason), std::string::npos) << status;
    EXPECT_NE(status.find("required privileges: not kept by this platform"), std::string::npos) << status;
}

TEST_F(ServiceLife, AfterTraceOffAStartTouchesNoLogAndReportsNoLogEvent) {
    ASSERT_EQ(Diagctl(L"trace off").ExitCode, 0u);
    const std::wstring log = m_Trace.LogPath(), missing = m_Trace.Directory() + L"\\missing";
    std::ofstream(std::string(log.begin(), log.end()), std::ios::binary) << "the last traced run\r\n";
    WIN32_FILE_ATTRIBUTE_DATA before{}, after{};
    ASSERT_TRUE(GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &before));
    const size_t entries = e2e::ServicesLog().size();
    Sleep(20);  // a write now would show in the time stamps
    // Once with the log there (without TP_APPEND it would be emptied), once
    // with TracePath naming a directory that is not there.
    for (const std::wstring& path : {m_Trace.Directory(), missing}) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\vqcc0\\Trace", L"TracePath",
                                  REG_SZ, path.c_str(), static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
        Start();
        EXPECT_EQ(Post(diagproto::EncodeQuit()).ResultCode, 0);
        Stopped();
    }
    ASSERT_TRUE(GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &after));
    EXPECT_EQ(m_Trace.Text(), "the last traced run\r\n");
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0) << "attributes, time stamps or size changed";
    EXPECT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);
    const std::string reported = e2e::ServicesLog().substr(entries);
    EXPECT_EQ(reported.find("Trace file"), std::string::npos) << reported;
    EXPECT_EQ(reported.find("ReRiruRuvazor.log"), std::string::npos) << reported;
}

TEST_F(ServiceLife, StartsRunsRequestsAndStopsCleanlyAfterQuit) {
    Start();
    const std::wstring file = m_Trace.Directory() + L"\\wine.reg";
    const std::wstring missing = m_Trace.Directory() + L"\\missing.reg";
    const diagproto::Reply exported = Post(diagproto::EncodeExport(
        {{L"HKLM\\Software\\Wine", file}, {L"HKLM\\Software\\NoSuchKeyAnywhere", missing}}));
    EXPECT_EQ(exported.ResultCode, 0);
    EXPECT_EQ(exported.DataSize, 8);
    EXPECT_EQ(exported.Values, (std::vector<std::uint32_t>{0, 1}));

    // The export really happened: reg.exe writes UTF-16 with a byte-order mark.
    std::ifstream stream(std::string(file.begin(), file.end()), std::ios::binary);
    char bom[2] = {};
    stream.read(bom, 2);
    EXPECT_EQ(static_cast<unsigned char>(bom[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bom[1]), 0xFE);

    const diagproto::Reply quit = Post(diagproto::EncodeQuit());
    EXPECT_EQ(quit.ResultCode, 0);
    EXPECT_EQ(quit.DataSize, 0);

    const SERVICE_STATUS status = Stopped();
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    const ProcessResult shown = Diagctl(L"status");
    EXPECT_NE(shown.Output.find("STOPPED, win32 exit code 0, service exit code 0"), std::string::npos)
        << shown.Output;

    ASSERT_TRUE(m_Trace.WaitFor("STOPPED): ok"));
    EXPECT_TRUE(InOrder(m_Trace.Lines(), {
                                             "[app::args::parse] srv_mode: 1 (init)",
                                             "START_PENDING): ok",
                                             "[DiagService::CheckAccess::Do] Granted",
                                             "RUNNING): ok",
                                             "[DiagService::MainLogic] WorkType: ExportRegKeys",
                                             "[DiagService::MainLogic] WorkType: Quit",
                                             "[DiagService::Stop] ExitCode: 0 (00000000)",
                                             "STOP_PENDING): ok",
                                             "STOPPED): ok",
                                         }))
        << Log();
    // Nothing came during the requests: no look for a pending signal shows.
    EXPECT_EQ(e2e::FindLine(m_Trace.Lines(), "Timeout (0 msec)"), -1) << Log();
}

// Both ways a request can end the service with an error: the service still
// answers, then stops with the result code and 0xFFFFFFFF.
TEST_F(ServiceLife, RefusedRequestsStopTheServiceWithTheirResultCode) {
    struct Case {
        std::int32_t WorkType;
        std::int32_t DataSize;
        const char* Line;
    };
    const Case cases[] = {
        {0, 4, "E> [DiagService::WorkFunc_Quit] Data.Size: 4, expected 0"},
        {7, 0, "E> [DiagService::MainLogic] WorkType: 7, unsupported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Line);
        m_Trace.Clear();
        Start();
        const diagproto::Reply reply = Post(diagproto::EncodeRequest(c.WorkType, c.DataSize, {0, 0, 0, 0}));
        EXPECT_EQ(reply.ResultCode, 13);
        EXPECT_EQ(reply.DataSize, 0);
        const SERVICE_STATUS status = Stopped();
        EXPECT_EQ(status.dwWin32ExitCode, 13u);
        EXPECT_EQ(status.dwServiceSpecificExitCode, 0xFFFFFFFFu);
        ASSERT_TRUE(m_Trace.WaitFor("STOPPED): ok"));
        EXPECT_TRUE(InOrder(m_Trace.Lines(), {c.Line, "SetEvent(", "[DiagService::Stop] ExitCode: 13 (0000000D)",
                                              "STOP_PENDING): ok", "STOPPED): ok"}))
            << Log();
    }
}

TEST_F(ServiceLife, StopWhileIdleStopsAtOnceAndTheProcessEnds) {
    Start();
    const ProcessResult stopped = Diagctl(L"stop");
    EXPECT_EQ(stopped.ExitCode, 0u) << stopped.Output;
    EXPECT_NE(stopped.Output.find("STOPPED, win32 exit code 0, service exit code 0"), std::string::npos)
        << stopped.Output;
    ASSERT_TRUE(m_Trace.WaitFor("STOPPED): ok"));
    const auto lines = m_Trace.Lines();
    EXPECT_TRUE(InOrder(lines, {"[DiagService::ControlHandler] Code: SERVICE_CONTROL_STOP",
                                "[DiagService::Stop] ExitCode: 0 (00000000)", "STOP_PENDING): ok", "STOPPED): ok"}))
        << Log();
    EXPECT_EQ(e2e::FindLine(lines, "WorkType"), -1) << Log();

    // The process has gone: the service starts again and answers.
    m_Trace.Clear();
    Start();
    EXPECT_EQ(Post(diagproto::EncodeQuit()).ResultCode, 0);
    const SERVICE_STATUS status = Stopped();
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
}

// Wine refuses ControlService(SHUTDOWN) with 87 and never delivers it; on a
// platform that delivers it the service must stop with 641 and 0.
TEST_F(ServiceLife, ShutdownStopsWith641WhereThePlatformDeliversIt) {
    Start();
    const ProcessResult shutdown = Diagctl(L"control 5");
    if (shutdown.ExitCode == ERROR_INVALID_PARAMETER) {
        std::cout << "[ NOTE     ] ControlService(SHUTDOWN) refused with 87: not deliverable on this platform\n";
        EXPECT_TRUE(m_Trace.WaitFor("RUNNING): ok"));
        EXPECT_EQ(m_Trace.Text().find("SERVICE_CONTROL_SHUTDOWN"), std::string::npos);
        EXPECT_EQ(Post(diagproto::EncodeQuit()).ResultCode, 0);
        Stopped();
        return;
    }
    ASSERT_EQ(shutdown.ExitCode, 0u) << shutdown.Output;
    const SERVICE_STATUS status = Stopped();
    EXPECT_EQ(status.dwWin32ExitCode, 641u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
    ASSERT_TRUE(m_Trace.WaitFor("STOPPED): ok"));
    EXPECT_TRUE(InOrder(m_Trace.Lines(), {"[DiagService::ControlHandler] Code: SERVICE_CONTROL_SHUTDOWN",
                                          "[DiagService::Stop] ExitCode: 641 (00000281)", "STOPPED): ok"}))
        << Log();
}

TEST_F(ServiceLife, OtherControlCodesAreOnlyTracedAndTheServiceGoesOn) {
    Start();
    for (const wchar_t* code : {L"4", L"200"}) {
        const ProcessResult control = Diagctl(std::wstring(L"control ") + code);
        EXPECT_EQ(control.ExitCode, 0u) << control.Output;
    }
    SERVICE_STATUS status{};
    ASSERT_TRUE(e2e::QueryStatus(status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    EXPECT_EQ(Post(diagproto::EncodeQuit()).ResultCode, 0);
    status = Stopped();
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    ASSERT_TRUE(m_Trace.WaitFor("STOPPED): ok"));
    const auto lines = m_Trace.Lines();
    EXPECT_TRUE(InOrder(lines, {"RUNNING): ok", "E> [DiagService::ControlHandler] Code: 4",
                                "E> [DiagService::ControlHandler] Code: 200", "[DiagService::MainLogic] WorkType: Quit",
                                "STOP_PENDING): ok"}))
        << Log();
    // No report between the controls and the Quit.
    EXPECT_EQ(e2e::FindLine(lines, "SetServiceStatus(", e2e::FindLine(lines, "RUNNING): ok") + 1),
              e2e::FindLine(lines, "STOP_PENDING): ok"))
        << Log();
}

// The handler is registered before the arguments are checked, so the
// refusal reaches the service control manager at once.
TEST_F(ServiceLife, ExtraStartParametersAreRefusedWith160) {
    const DWORD begin = GetTickCount();
    // Wine's StartServiceW fails with 1053 for a service that stops during
    // its start; what diagctl said is shown when the status is not the
    // service's own.
    const ProcessResult started = e2e::DiagctlStart(L"one");
    SERVICE_STATUS status{};
    ASSERT_TRUE(e2e::WaitStopped(status, 20000)) << started.Output << Log();
    EXPECT_LT(GetTickCount() - begin, 2000u);
    EXPECT_EQ(status.dwWin32ExitCode, 160u) << started.Output;
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0xFFFFFFFFu) << started.Output;
    // Wine ends a process that reports STOPPED during its start, so the
    // wrapper's lines after the reports may never be written.
    const auto lines = m_Trace.Lines();
    EXPECT_TRUE(InOrder(lines, {"RegisterServiceCtrlHandlerW", "E> [DiagService::CheckArgs] ArgCount: 2 (expected 1)",
                                "[DiagService::Stop] ExitCode: 160 (000000A0)"}))
        << started.Output << Log();
    EXPECT_EQ(e2e::FindLine(lines, "RUNNING"), -1) << Log();
}

// Anyone may create the channel's names first; a channel that others may
// change, or whose events others may wait on (a wait on an auto-reset event
// takes its signal: a request or a reply), is refused before any request is
// read.
TEST_F(ServiceLife, AChannelThatEveryoneMayWriteIsRefusedWith5) {
    m_Channel.reset();
    const diagctl::ChannelNames names = diagctl::ProductChannelNames();
    struct Case {
        const wchar_t* Section;
        const wchar_t* Events;
        const char* Refusal;
    };
    const Case cases[] = {
        {L"O:BAD:(A;;GA;;;BA)(A;;GA;;;WD)", L"O:BAD:(A;;GA;;;BA)(A;;GA;;;WD)",
         "\"Global\\{DBEC3D35-8097-4FA7-BD48-ED5330D86466}\": S-1-1-0 may write"},
        {L"O:BAD:(A;;GA;;;BA)", L"O:BAD:(A;;GA;;;BA)(A;;0x00100000;;;WD)",
         "\"Global\\{7B5FC5AC-4696-48A5-B343-5FD4C8E62BDA}\": S-1-1-0 may write (00100000)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Refusal);
        m_Trace.Clear();
        PSECURITY_DESCRIPTOR section = nullptr;
        PSECURITY_DESCRIPTOR events = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.Section, SDDL_REVISION_1, &section, nullptr));
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.Events, SDDL_REVISION_1, &events, nullptr));
        SECURITY_ATTRIBUTES forSection{sizeof(forSection), section, FALSE};
        SECURITY_ATTRIBUTES forEvents{sizeof(forEvents), events, FALSE};
        const HANDLE objects[] = {
            CreateFileMappingW(INVALID_HANDLE_VALUE, &forSection, PAGE_READWRITE, 0, 65536, names.Section.c_str()),
            CreateEventW(&forEvents, FALSE, FALSE, names.DoWork.c_str()),
            CreateEventW(&forEvents, FALSE, FALSE, names.WorkDone.c_str())};
        LocalFree(section);
        LocalFree(events);
        for (HANDLE object : objects)
            ASSERT_NE(object, nullptr);
        // A request already waits: it must never be carried out.
        void* view = MapViewOfFile(objects[0], FILE_MAP_WRITE, 0, 0, 0);
        const auto request = diagproto::EncodeExport({{L"HKLM\\Software\\Wine", m_Trace.Directory() + L"\\x.reg"}});
        std::memcpy(view, request.data(), request.size());
        SetEvent(objects[1]);

        const ProcessResult started = e2e::DiagctlStart();
        SERVICE_STATUS status{};
        ASSERT_TRUE(e2e::WaitStopped(status)) << started.Output << Log();
        EXPECT_EQ(status.dwWin32ExitCode, 5u);
        EXPECT_EQ(status.dwServiceSpecificExitCode, 0xFFFFFFFFu);
        ASSERT_TRUE(m_Trace.WaitFor("IsSystem(): Deny")) << Log();
        const auto lines = m_Trace.Lines();
        EXPECT_TRUE(InOrder(lines, {std::string("E> [DiagService::CheckAccess::IsSystem] ") + c.Refusal,
                                    "[DiagService::CheckAccess::Do] IsSystem(): Deny",
                                    "[DiagService::Stop] ExitCode: 5 (00000005)"}))
            << Log();
        EXPECT_EQ(e2e::FindLine(lines, "RUNNING"), -1) << Log();
        EXPECT_EQ(e2e::FindLine(lines, "CreateProcessW"), -1) << Log();
        EXPECT_EQ(WaitForSingleObject(objects[1], 0), WAIT_OBJECT_0);  // the request's signal was never taken
        // The event log heard of it: Wine prints the entry's strings where the
        // service manager's output goes (scripts/wine-prefix).
        const std::string refused(c.Refusal);
        const std::string object = refused.substr(0, refused.find("\": ") + 1);
        std::string entries;
        for (int i = 0; i < 50 && entries.find("warn:eventlog:ReportEventW L" + Escaped(object)) == std::string::npos; ++i) {
            Sleep(20);
            entries = e2e::ServicesLog();
        }
        EXPECT_NE(entries.find("warn:eventlog:ReportEventW L" + Escaped(object)), std::string::npos) << entries;
        UnmapViewOfFile(view);
        for (HANDLE object : objects)
            CloseHandle(object);
    }
}

}  // namespace
