// The one version number as the binaries carry it and diagctl prints it, read
// back under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"
#include "file_version.h"
#include "module_path.h"

namespace {

using package_test::Narrow;
using package_test::Widen;

// Every field that Explorer's Details page, installers and inventory tools show.
TEST(VersionResource, EveryBinaryCarriesTheProjectVersion) {
    for (const std::wstring file : {L"ReRiruRuvazor.exe", L"diagctl.exe", L"VqError.dll"}) {
        SCOPED_TRACE(Narrow(file));
        const package_test::FileVersion read =
            package_test::ReadFileVersion(testing_support::ModuleDirectory() + file);
        ASSERT_EQ(read.Error, 0u);
        EXPECT_EQ(package_test::FixedFileVersion(read), Widen(VQ_VERSION));
        EXPECT_EQ(read.Fixed.dwProductVersionMS, read.Fixed.dwFileVersionMS);
        EXPECT_EQ(read.Fixed.dwProductVersionLS, read.Fixed.dwFileVersionLS);
        EXPECT_EQ(read.Fixed.dwFileType, static_cast<DWORD>(file.find(L".exe") != std::wstring::npos ? VFT_APP : VFT_DLL));
        EXPECT_EQ(read.Translation, static_cast<DWORD>(MAKELONG(0x0409, 1200)));
        const auto text = [&](const wchar_t* name) {
            const auto found = read.Strings.find(name);
            return found == read.Strings.end() ? std::string("<missing>") : Narrow(found->second);
        };
        EXPECT_EQ(text(L"FileVersion"), VQ_VERSION);
        EXPECT_EQ(text(L"ProductVersion"), VQ_VERSION);
        EXPECT_EQ(text(L"OriginalFilename"), Narrow(file));
        EXPECT_EQ(text(L"ProductName"), "ReRiruRuvazor");
        EXPECT_EQ(text(L"LegalCopyright"), "Copyright (C) Brenmoor. All rights reserved.");
        EXPECT_NE(text(L"FileDescription").find("ReRiruRuvazor"), std::string::npos);
    }
}

// Wherever the option stands; and the help lists it.
TEST(DiagctlVersion, PrintsTheVersionItsResourceCarries) {
    const std::wstring diagctl = L"\"" + testing_support::ModuleDirectory() + L"diagctl.exe\" ";
    for (const wchar_t* arguments : {L"--version", L"status --version", L"--names x --version"}) {
        SCOPED_TRACE(Narrow(arguments));
        const e2e::ProcessResult run = e2e::Run(diagctl + arguments);
        EXPECT_EQ(run.ExitCode, 0u) << run.Output;
        // Its own version first; nothing of the product is installed here.
        EXPECT_EQ(run.Output.rfind(std::string("diagctl ") + VQ_VERSION + "\n", 0), 0u) << run.Output;
        EXPECT_NE(run.Output.find("\nservice: not installed\npackage: not installed"), std::string::npos)
            << run.Output;
    }
    EXPECT_NE(e2e::Run(diagctl + L"help").Output.find("--version"), std::string::npos);
}

}  // namespace
