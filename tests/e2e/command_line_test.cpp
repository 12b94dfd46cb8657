// ReRiruRuvazor.exe started from a console, not by the service control
// manager: what it does with its command line and how it ends.
#include <gtest/gtest.h>

#include <memory>

#include "channel.h"
#include "e2e_support.h"
#include "service_fixture.h"

namespace {

using e2e::ProcessResult;

class CommandLine : public ::testing::Test {
protected:
    ProcessResult RunService(const std::wstring& arguments) {
        m_Trace.Clear();
        return e2e::Run(L"\"" + e2e::InBin(L"ReRiruRuvazor.exe") + L"\"" + arguments, 30000);
    }
    std::string Log() const { return e2e::Join(m_Trace.Lines()); }

    e2e::TraceToFile m_Trace{e2e::CurrentTestName()};
};

class CommandLineWithChannel : public CommandLine {
protected:
    void SetUp() override {
        std::wstring message;
        m_Channel = diagctl::Channel::Create(diagctl::ProductChannelNames(), diagctl::kDefaultSectionSize, message);
        ASSERT_TRUE(m_Channel) << std::string(message.begin(), message.end());
    }
    std::unique_ptr<diagctl::Channel> m_Channel;
};

constexpr char kDispatcherFailed[] = "StartServiceCtrlDispatcherW(): E(00000427)";

TEST_F(CommandLineWithChannel, NoArgumentAndEachKeywordStartTheDispatcherAndEndWith160) {
    struct Case {
        const wchar_t* Arguments;
        const char* ModeLine;
    };
    const Case cases[] = {
        {L"", "[app::args::parse] srv_mode: 1 (init)"},
        {L" create", "[app::args::parse] arg: \"create\", srv_mode: 2"},
        {L" delete", "[app::args::parse] arg: \"delete\", srv_mode: 3"},
        {L" start", "[app::args::parse] arg: \"start\", srv_mode: 4"},
        {L" stop", "[app::args::parse] arg: \"stop\", srv_mode: 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ModeLine);
        const ProcessResult run = RunService(c.Arguments);
        ASSERT_TRUE(run.Started);
        EXPECT_EQ(run.ExitCode, 160u);
        const auto lines = m_Trace.Lines();
        EXPECT_TRUE(e2e::InOrder(lines, {c.ModeLine, kDispatcherFailed})) << Log();
        EXPECT_NE(e2e::FindLine(lines, std::string("E> [Winapi::Service::StartCtrlDispatcher]")), -1) << Log();
        // A keyword changes nothing but the trace: no service is touched.
        SERVICE_STATUS status{};
        EXPECT_FALSE(e2e::QueryStatus(status));
    }
}

TEST_F(CommandLineWithChannel, RefusedCommandLinesEndWith160WithoutTheDispatcher) {
    struct Case {
        const wchar_t* Arguments;
        const char* Line;  // null: the parser writes nothing
    };
    const Case cases[] = {
        {L" Create", nullptr},
        {L" STOP", nullptr},
        {L" \"stop \"", nullptr},
        {L" \"\"", "E> [app::args::parse] arg: , srv_mode: 0"},
        {L" start stop", "E> [app::args::parse] arg_c: 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Line ? c.Line : "silent"));
        const ProcessResult run = RunService(c.Arguments);
        ASSERT_TRUE(run.Started);
        EXPECT_EQ(run.ExitCode, 160u);
        const auto lines = m_Trace.Lines();
        // The channel is opened before the command line is read.
        EXPECT_NE(e2e::FindLine(lines, "OpenEventW("), -1) << Log();
        EXPECT_EQ(e2e::FindLine(lines, "StartServiceCtrlDispatcherW"), -1) << Log();
        if (c.Line)
            EXPECT_NE(e2e::FindLine(lines, c.Line), -1) << Log();
        else
            EXPECT_EQ(e2e::FindLine(lines, "[app::args::parse]"), -1) << Log();
    }
}

TEST_F(CommandLine, WithoutTheChannelTheProcessEndsAtOnceWith668) {
    const ProcessResult run = RunService(L"");
    ASSERT_TRUE(run.Started);
    EXPECT_EQ(run.ExitCode, 668u);
    EXPECT_LT(run.ElapsedMs, 10000u);
    const auto lines = m_Trace.Lines();
    EXPECT_NE(e2e::FindLine(lines, "E> [DiagService::SharedSection::SharedSection] assert( m_hMapping )"), -1)
        << Log();
    // The command line was never read.
    EXPECT_EQ(e2e::FindLine(lines, "[app::args::parse]"), -1) << Log();
    // No crash report: Wine prints one on stderr for an unhandled exception.
    EXPECT_EQ(run.Output.find("Unhandled"), std::string::npos) << run.Output;
}

}  // namespace
