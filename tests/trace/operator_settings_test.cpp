// The ready-made operator settings, imported with reg.exe under a key of the
// test's own instead of the product's key, give the configuration they
// promise.
#include <gtest/gtest.h>

#include "child_process.h"
#include "trace_test_support.h"

using namespace VqBase;
using namespace trace_test;

namespace {
DWORD ImportAt(const TestKey& key, const std::wstring& name, const TempDir& dir) {
    std::string text = ReadBytes(std::wstring(VQ_CONFIG_DIR) + L"/" + name);
    const std::string product = "SYSTEM\\CurrentControlSet\\Services\\vqcc0\\Trace";
    std::string own(key.Path().begin(), key.Path().end());
    size_t found = 0;
    for (size_t at; (at = text.find(product)) != std::string::npos; ++found) text.replace(at, product.size(), own);
    EXPECT_GT(found, 0u) << "no product key in " << std::string(name.begin(), name.end());
    const std::wstring file = dir / name;
    WriteBytes(file, text);

    testing_support::Child child;
    if (!child.Start(L"reg.exe import \"" + file + L"\"")) return ::GetLastError();
    if (!child.Wait("reg.exe import")) return 1;
    return child.ExitCode();
}
}  // namespace

TEST(TraceOperatorSettings, ImportedSettingsReadBack) {
    TempDir dir;
    {
        TestKey key;
        ASSERT_EQ(ImportAt(key, L"trace-to-file.reg", dir), 0u);
        CTraceConfig config(kTraceName, key.Location());
        ASSERT_TRUE(config.ReadConfig());
        EXPECT_EQ(config.m_EnableMask.load(), 0x0Eu);
        EXPECT_EQ(config.m_ParamsMask.load(), 0xFD01u);
        EXPECT_EQ(config.m_CommonFileFlag.load(), 0u);
        EXPECT_EQ(config.m_MaxFileSize.load(), 16u << 20);
        EXPECT_EQ(config.m_FilePath, L"C:\\ProgramData\\ReRiruRuvazor\\Logs\\ReRiruRuvazor.log");
    }
    {
        TestKey key;
        ASSERT_EQ(ImportAt(key, L"trace-errors-only.reg", dir), 0u);
        CTraceConfig config(kTraceName, key.Location());
        ASSERT_TRUE(config.ReadConfig());
        EXPECT_EQ(config.m_EnableMask.load(), TL_ERROR);
        EXPECT_EQ(config.m_ParamsMask.load(), 0x3101u);
        EXPECT_EQ(config.m_MaxFileSize.load(), 16u << 20);
        EXPECT_EQ(config.m_FilePath, GetTempDirectory() + L"\\ReRiruRuvazor.log");
    }
    {
        TestKey key;
        key.SetNumber(kTraceName, L"EnableMask", 0x0E);
        key.SetNumber(kTraceName, L"ParamsMask", 0xFD01);
        ASSERT_EQ(ImportAt(key, L"trace-off.reg", dir), 0u);
        CTraceImpl impl(kTraceName, key.Location());
        EXPECT_FALSE(impl.IsEnabled());
        EXPECT_EQ(impl.m_Config.m_EnableMask.load(), 0u);
    }
}

// An appended log without a bound grows for ever: every ready-made setting
// that appends, also one added later, carries a bound.
TEST(TraceOperatorSettings, EverySettingThatAppendsIsBounded) {
    TempDir dir;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((std::wstring(VQ_CONFIG_DIR) + L"/*.reg").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        TestKey key;
        ASSERT_EQ(ImportAt(key, found.cFileName, dir), 0u);
        CTraceConfig config(kTraceName, key.Location());
        ASSERT_TRUE(config.ReadConfig());
        const std::string name(found.cFileName, found.cFileName + wcslen(found.cFileName));
        if (config.m_ParamsMask.load() & TP_APPEND) {
            EXPECT_GE(config.m_MaxFileSize.load(), kMinMaxFileSize) << name;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
