// The one version number as the binaries carry it and diagctl prints it, read
// back under Wine: this build's, and the upgrade test's next build's.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"
#include "file_version.h"
#include "module_path.h"

namespace {

using package_test::FileVersion;
using package_test::Narrow;
using package_test::Widen;

std::wstring WindowsPath(const char* unixPath) {
    std::wstring path = L"Z:" + Widen(unixPath);
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    return path;
}

// Every field that Explorer's Details page, installers and inventory tools show.
void ExpectVersionResource(const std::wstring& dir, const std::wstring& file, const std::wstring& version) {
    SCOPED_TRACE(Narrow(dir + file));
    const FileVersion read = package_test::ReadFileVersion(dir + file);
    ASSERT_EQ(read.Error, 0u);
    EXPECT_EQ(read.Fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(package_test::FixedFileVersion(read), version);
    EXPECT_EQ(package_test::FixedProductVersion(read), version);
    EXPECT_EQ(LOWORD(read.Fixed.dwFileVersionLS), 0u);
    const bool exe = file.size() > 4 && file.compare(file.size() - 4, 4, L".exe") == 0;
    EXPECT_EQ(read.Fixed.dwFileType, exe ? static_cast<DWORD>(VFT_APP) : static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(read.Translation, MAKELONG(0x0409, 1200));
    const auto text = [&](const wchar_t* name) {
        const auto found = read.Strings.find(name);
        return found == read.Strings.end() ? std::string("<missing>") : Narrow(found->second);
    };
    EXPECT_EQ(text(L"FileVersion"), Narrow(version));
    EXPECT_EQ(text(L"ProductVersion"), Narrow(version));
    EXPECT_EQ(text(L"OriginalFilename"), Narrow(file));
    EXPECT_EQ(text(L"ProductName"), "ReRiruRuvazor");
    EXPECT_EQ(text(L"CompanyName"), "Brenmoor");
    EXPECT_NE(text(L"LegalCopyright").find("Copyright (C) Brenmoor"), std::string::npos);
    EXPECT_NE(text(L"FileDescription").find("ReRiruRuvazor"), std::string::npos);
}

TEST(VersionResource, EveryBinaryCarriesTheProjectVersion) {
    for (const wchar_t* file : {L"ReRiruRuvazor.exe", L"diagctl.exe", L"VqError.dll"})
        ExpectVersionResource(testing_support::ModuleDirectory(), file, Widen(VQ_VERSION));
}

TEST(VersionResource, TheUpgradeBuildCarriesTheNextVersion) {
    ASSERT_NE(std::string(VQ_VERSION), std::string(VQ_NEXT_VERSION));
    for (const wchar_t* file : {L"ReRiruRuvazor.exe", L"diagctl.exe", L"VqError.dll"})
        ExpectVersionResource(WindowsPath(VQ_NEXT_BIN) + L"\\", file, Widen(VQ_NEXT_VERSION));
}

// What diagctl prints is the number its own resource carries, in every place
// the option may stand.
TEST(DiagctlVersion, PrintsTheVersionItCarries) {
    struct Case {
        std::wstring Program;
        const char* Arguments;
        const char* Version;
    };
    const std::wstring current = testing_support::ModuleDirectory() + L"diagctl.exe";
    const std::wstring next = WindowsPath(VQ_NEXT_BIN) + L"\\diagctl.exe";
    const Case cases[] = {
        {current, "--version", VQ_VERSION},
        {current, "status --version", VQ_VERSION},
        {current, "--names x --version", VQ_VERSION},
        {next, "--version", VQ_NEXT_VERSION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.Program) + " " + c.Arguments);
        const e2e::ProcessResult run = e2e::Run(L"\"" + c.Program + L"\" " + Widen(c.Arguments));
        ASSERT_TRUE(run.Started);
        EXPECT_EQ(run.ExitCode, 0u) << run.Output;
        std::string output = run.Output;
        while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
            output.pop_back();
        EXPECT_EQ(output, std::string("diagctl ") + c.Version);
        const FileVersion resource = package_test::ReadFileVersion(c.Program);
        EXPECT_EQ("diagctl " + Narrow(package_test::FixedFileVersion(resource)), output);
    }
    const e2e::ProcessResult help = e2e::Run(L"\"" + current + L"\" help");
    EXPECT_NE(help.Output.find("--version"), std::string::npos) << help.Output;
}

}  // namespace
