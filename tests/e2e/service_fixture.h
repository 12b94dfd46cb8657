#pragma once
// A test that runs the real service under the service control manager: the
// trace goes into a log file of the test's own, the service is installed
// (and removed afterwards, whatever happens) and the test owns the channel.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "channel.h"
#include "diagproto.h"
#include "e2e_support.h"

namespace e2e {

inline std::wstring CurrentTestName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "test";
    return std::wstring(name.begin(), name.end());
}

class ServiceFixture : public ::testing::Test {
protected:
    explicit ServiceFixture(const std::wstring& exePath = L"") : m_Registration(exePath) {}

    void SetUp() override {
        ASSERT_TRUE(m_Registration.Installed()) << "diagctl install failed";
        std::wstring message;
        m_Channel = diagctl::Channel::Create(diagctl::ProductChannelNames(), diagctl::kDefaultSectionSize, message);
        ASSERT_TRUE(m_Channel) << std::string(message.begin(), message.end());
    }

    // Starts the service and expects it to report RUNNING.
    void Start() {
        const ProcessResult started = DiagctlStart();
        ASSERT_EQ(started.ExitCode, 0u) << started.Output;
        ASSERT_NE(started.Output.find("RUNNING"), std::string::npos) << started.Output;
    }

    diagproto::Reply Post(const std::vector<std::uint8_t>& request, DWORD limitMs = 30000) {
        const diagctl::PostResult posted = m_Channel->Post(request, limitMs);
        EXPECT_EQ(posted, diagctl::PostResult::Replied);
        return m_Channel->Reply();
    }

    // The service's final status, once it has reported STOPPED.
    SERVICE_STATUS Stopped() {
        SERVICE_STATUS status{};
        EXPECT_TRUE(WaitStopped(status)) << "state " << status.dwCurrentState;
        return status;
    }

    std::string Log() const { return Join(m_Trace.Lines()); }

    TraceToFile m_Trace{CurrentTestName()};
    ServiceRegistration m_Registration;
    std::unique_ptr<diagctl::Channel> m_Channel;
};

}  // namespace e2e
