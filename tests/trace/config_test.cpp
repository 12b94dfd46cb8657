// The registry configuration: precedence of the values, the Force values,
// the log file path.
#include <gtest/gtest.h>

#include "trace_test_support.h"

using namespace VqBase;
using namespace trace_test;

namespace {
// Reads the configuration of a trace name from a test key.
struct Read {
    Read(const TestKey& key, const wchar_t* name) : config(name, key.Location()) { ok = config.ReadConfig(); }
    CTraceConfig config;
    bool ok = false;
};
}  // namespace

TEST(TraceConfig, MissingTraceKeyChangesNothing) {
    CTraceConfig config(L"CfgMissing", MissingLocation());
    config.Publish(1, 2, 3, 4);
    config.m_FilePath = L"kept";
    EXPECT_FALSE(config.ReadConfig());
    EXPECT_EQ(config.m_EnableMask.load(), 1u);
    EXPECT_EQ(config.m_ParamsMask.load(), 2u);
    EXPECT_EQ(config.m_CommonFileFlag.load(), 3u);
    EXPECT_EQ(config.m_ContextMask.load(), 4u);
    EXPECT_EQ(config.m_FilePath, L"kept");
}

TEST(TraceConfig, ProgramKeyAloneAndDefaults) {
    TestKey key;
    key.SetNumber(L"CfgProgram", L"EnableMask", 0x0A);
    key.SetNumber(L"CfgProgram", L"ParamsMask", 0x1001);
    Read r(key, L"CfgProgram");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.config.m_EnableMask.load(), 0x0Au);
    EXPECT_EQ(r.config.m_ParamsMask.load(), 0x1001u);
    EXPECT_EQ(r.config.m_CommonFileFlag.load(), 0u);
    EXPECT_EQ(r.config.m_ContextMask.load(), 0xFFFFFFFFu);
    EXPECT_EQ(r.config.m_FilePath, GetTempDirectory() + L"\\CfgProgram.log");
}

TEST(TraceConfig, ProgramKeyOverridesTraceKeyAndForceOverridesBoth) {
    TestKey key;
    key.SetNumber(L"", L"EnableMask", 0x02);
    key.SetNumber(L"", L"ParamsMask", 0x08);
    key.SetNumber(L"", L"ContextMask", 0x77);  // read from the program key only
    key.SetNumber(L"CfgOrder", L"ParamsMask", 0x11);
    {
        Read r(key, L"CfgOrder");
        EXPECT_EQ(r.config.m_EnableMask.load(), 0x02u);  // the Trace key's value stands
        EXPECT_EQ(r.config.m_ParamsMask.load(), 0x11u);
        EXPECT_EQ(r.config.m_ContextMask.load(), 0xFFFFFFFFu);
    }
    // Another program reads the Trace key's values.
    EXPECT_EQ(Read(key, L"CfgOther").config.m_ParamsMask.load(), 0x08u);

    key.SetNumber(L"", L"ForceEnableMask", 0x08);
    key.SetNumber(L"", L"ForceParamsMask", 0x01);
    key.SetNumber(L"", L"ForceCommonFileFlag", 0x01);
    Read r(key, L"CfgOrder");
    EXPECT_EQ(r.config.m_EnableMask.load(), 0x08u);
    EXPECT_EQ(r.config.m_ParamsMask.load(), 0x01u);
    EXPECT_EQ(r.config.m_CommonFileFlag.load(), 0x01u);
}

TEST(TraceConfig, ForceParamsMaskZeroSwitchesEverythingOff) {
    TestKey key;
    key.SetNumber(L"CfgForceOff", L"EnableMask", 0x0E);
    key.SetNumber(L"CfgForceOff", L"ParamsMask", TP_FILE | TP_DEBUGGER);
    key.SetNumber(L"", L"ForceParamsMask", 0);
    CTraceImpl impl(L"CfgForceOff", key.Location());
    EXPECT_EQ(impl.m_Config.m_ParamsMask.load(), 0u);
    EXPECT_EQ(impl.m_Config.m_EnableMask.load(), 0x0Eu);
    EXPECT_FALSE(impl.IsEnabled());
}

TEST(TraceConfig, DisableContextFlag) {
    TestKey key;
    key.SetNumber(L"CfgContext", L"ContextMask", 0x42);
    EXPECT_EQ(Read(key, L"CfgContext").config.m_ContextMask.load(), 0x42u);
    key.SetNumber(L"", L"DisableContextFlag", 0);
    EXPECT_EQ(Read(key, L"CfgContext").config.m_ContextMask.load(), 0x42u);
    key.SetNumber(L"", L"DisableContextFlag", 1);
    EXPECT_EQ(Read(key, L"CfgContext").config.m_ContextMask.load(), 0xFFFFFFFFu);
}

TEST(TraceConfig, TracePathGetsOneBackslash) {
    TestKey key;
    key.SetString(L"", L"TracePath", L"D:\\logs");
    EXPECT_EQ(Read(key, L"CfgPath").config.m_FilePath, L"D:\\logs\\CfgPath.log");
    key.SetString(L"", L"TracePath", L"D:\\logs\\");
    EXPECT_EQ(Read(key, L"CfgPath").config.m_FilePath, L"D:\\logs\\CfgPath.log");
    // TracePath is a value of the Trace key only.
    key.SetString(L"CfgPath", L"TracePath", L"E:\\other");
    EXPECT_EQ(Read(key, L"CfgPath").config.m_FilePath, L"D:\\logs\\CfgPath.log");
}

TEST(TraceConfig, CommonFile) {
    TestKey key;
    key.SetString(L"", L"TracePath", L"D:\\logs");
    key.SetNumber(L"CfgCommon", L"CommonFileFlag", 1);
    {
        Read r(key, L"CfgCommon");
        EXPECT_EQ(r.config.m_CommonFileFlag.load(), 1u);
        EXPECT_EQ(r.config.m_FilePath, L"D:\\logs\\VqTrace.log");
    }
    key.SetString(L"CfgCommon", L"CommonFileName", L"");
    EXPECT_EQ(Read(key, L"CfgCommon").config.m_FilePath, L"D:\\logs\\VqTrace.log");
    key.SetString(L"CfgCommon", L"CommonFileName", L"F:\\shared\\all.txt");
    EXPECT_EQ(Read(key, L"CfgCommon").config.m_FilePath, L"F:\\shared\\all.txt");

    // A common flag set by the Force value alone ignores the program's name.
    key.SetNumber(L"CfgCommon", L"CommonFileFlag", 0);
    key.SetNumber(L"", L"ForceCommonFileFlag", 1);
    Read forced(key, L"CfgCommon");
    EXPECT_EQ(forced.config.m_CommonFileFlag.load(), 1u);
    EXPECT_EQ(forced.config.m_FilePath, L"D:\\logs\\VqTrace.log");
}

TEST(TraceConfig, ExtensionRules) {
    TestKey key;
    key.SetString(L"", L"TracePath", L"D:\\l");
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"x", L"D:\\l\\x.log"},           {L"x.", L"D:\\l\\x.log"},          {L"x.log", L"D:\\l\\x.log"},
        {L"a.json", L"D:\\l\\a.json.log"}, {L"a.txt", L"D:\\l\\a.txt"},       {L"", L"D:\\l\\.log"},
        {L"a.b.c", L"D:\\l\\a.b.c.log"},   {L"v1.2.abc", L"D:\\l\\v1.2.abc"},
    };
    for (const auto& [name, path] : cases) EXPECT_EQ(Read(key, name).config.m_FilePath, path) << name;
    EXPECT_EQ(AppendLogExtension(L"."), L".log");
}

TEST(TraceConfig, OddRegistryValuesCountAsAbsent) {
    TestKey key;
    key.SetNumber(L"", L"EnableMask", 0x08);
    const ULONGLONG wide = 0x02;
    key.SetRaw(L"CfgOdd", L"EnableMask", REG_QWORD, &wide, sizeof(wide));
    EXPECT_EQ(Read(key, L"CfgOdd").config.m_EnableMask.load(), 0x08u);

    // 519 characters and the terminator fit; 520 without a terminator may have
    // been cut and count as absent.
    const std::wstring fits = L"D:\\" + std::wstring(516, L'd');
    key.SetString(L"", L"TracePath", fits);
    EXPECT_EQ(Read(key, L"CfgOdd").config.m_FilePath, fits + L"\\CfgOdd.log");
    const std::wstring full = L"D:\\" + std::wstring(517, L'd');
    key.SetRaw(L"", L"TracePath", REG_SZ, full.data(), static_cast<DWORD>(full.size() * sizeof(wchar_t)));
    // Not the default directory either: the file is named by no path.
    EXPECT_EQ(Read(key, L"CfgOdd").config.m_FilePath, L"");
}

TEST(TraceConfig, TemporaryDirectory) {
    EnvOverride temp(L"Temp", nullptr), tmp(L"Tmp", nullptr), windir(L"windir", nullptr);
    EXPECT_EQ(GetTempDirectory(), L"C:\\");
    {
        TestKey key;
        EXPECT_EQ(Read(key, L"CfgTemp").config.m_FilePath, L"C:\\CfgTemp.log");
    }
    {
        EnvOverride w(L"windir", L"C:\\windows");
        EXPECT_EQ(GetTempDirectory(), L"C:\\windows");
        EnvOverride t(L"Tmp", L"C:\\tmp");
        EXPECT_EQ(GetTempDirectory(), L"C:\\tmp");
        EnvOverride t2(L"Temp", L"C:\\temp\\");
        EXPECT_EQ(GetTempDirectory(), L"C:\\temp\\");
        TestKey key;
        EXPECT_EQ(Read(key, L"CfgTemp").config.m_FilePath, L"C:\\temp\\CfgTemp.log");
        // A value too long for the buffer counts as unset.
        EnvOverride t3(L"Temp", (L"C:\\" + std::wstring(600, L't')).c_str());
        EXPECT_EQ(GetTempDirectory(), L"C:\\tmp");
    }
}

TEST(TraceConfig, ReloadRereadsTheRegistry) {
    TestKey key;
    key.SetNumber(L"CfgReload", L"EnableMask", 0x02);
    key.SetNumber(L"CfgReload", L"ParamsMask", 0x02);
    CVqTrace trace(L"CfgReload", key.Location());
    EXPECT_TRUE(trace.IsLevelEnabled(TL_INFO));
    key.SetNumber(L"CfgReload", L"EnableMask", 0x08);
    EXPECT_TRUE(trace.Reload());
    EXPECT_FALSE(trace.IsLevelEnabled(TL_INFO));
    EXPECT_TRUE(trace.IsLevelEnabled(TL_ERROR));
}

TEST(TraceConfig, SettingsSayWhereEachValueCameFromAndWhyOthersCountAsAbsent) {
    TestKey key;
    key.SetNumber(L"", L"EnableMask", 0x08);
    key.SetNumber(L"", L"MaxFileSize", 8192);
    key.SetNumber(L"CfgWhy", L"ParamsMask", 0x3101);
    key.SetString(L"CfgWhy", L"EnableMask", L"14");  // a number written as a string
    key.SetNumber(L"CfgWhy", L"MaxFileSize", kMinMaxFileSize - 1);
    key.SetNumber(L"", L"ForceCommonFileFlag", 0);
    key.SetString(L"", L"TracePath", L"D:\\logs");
    const TraceSettings settings = ReadTraceSettings(L"CfgWhy", key.Location());
    ASSERT_TRUE(settings.TraceKeyFound);
    EXPECT_EQ(settings.Enable.Value, 0x08u);
    EXPECT_EQ(settings.Enable.Source, TraceSource::TraceKey);
    EXPECT_EQ(settings.Params.Source, TraceSource::ProgramKey);
    EXPECT_EQ(settings.Common.Source, TraceSource::Force);
    EXPECT_EQ(settings.MaxFileSize.Value, 8192u);  // the program's bound is below one line
    EXPECT_EQ(settings.PathSource, TraceSource::TraceKey);
    ASSERT_EQ(settings.Absent.size(), 2u);
    EXPECT_EQ(settings.Absent[0].Key, TraceSource::ProgramKey);
    EXPECT_EQ(settings.Absent[0].Name, L"EnableMask");
    EXPECT_NE(settings.Absent[0].Why.find(L"REG_SZ of 6 bytes"), std::wstring::npos) << settings.Absent[0].Why;
    EXPECT_EQ(settings.Absent[1].Name, L"MaxFileSize");

    // The service's own reading publishes the same.
    Read r(key, L"CfgWhy");
    EXPECT_EQ(r.config.m_MaxFileSize.load(), 8192u);
    EXPECT_EQ(r.config.m_FilePath, settings.FilePath);
}

TEST(TraceConfig, ATracePathTooLongToReadLeavesACommonFileNamedInFull) {
    TestKey key;
    key.SetString(L"", L"TracePath", L"C:\\" + std::wstring(520, L'x'));
    key.SetNumber(L"CfgLong", L"CommonFileFlag", 1);
    key.SetString(L"CfgLong", L"CommonFileName", L"C:\\Logs\\Common.log");
    // The common file's own name does not depend on TracePath.
    const TraceSettings settings = ReadTraceSettings(L"CfgLong", key.Location());
    EXPECT_EQ(settings.FilePath, L"C:\\Logs\\Common.log");
    EXPECT_EQ(settings.FilePathProblem, L"");
}
