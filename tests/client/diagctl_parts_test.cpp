// diagctl's pieces without a process: command line, exit codes, error and
// status texts.
#include <windows.h>

#include <sddl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <sddl.h>

#include "cmdline.h"
#include "collect.h"
#include "diagproto.h"
#include "errortext.h"
#include "executable.h"
#include "service_security.h"
#include "status_text.h"
#include "usage.h"

using testing::HasSubstr;
using testing::Not;

TEST(DiagctlParts, OptionsStandAnywhereAndADoubleDashEndsThem) {
    for (const auto& args : {std::vector<std::wstring>{L"--timeout", L"5", L"quit"},
                             std::vector<std::wstring>{L"quit", L"--timeout", L"5"}}) {
        const diagctl::CommandLine line = diagctl::ParseCommandLine(args);
        EXPECT_TRUE(line.Error.empty());
        EXPECT_EQ(line.Verb, L"quit");
        ASSERT_TRUE(line.TimeoutMs.has_value());
        EXPECT_EQ(*line.TimeoutMs, 5u);
    }
    const diagctl::CommandLine rest = diagctl::ParseCommandLine({L"start", L"--", L"--size", L"-h"});
    EXPECT_TRUE(rest.Error.empty());
    EXPECT_FALSE(rest.Help);
    EXPECT_EQ(rest.Arguments, (std::vector<std::wstring>{L"--size", L"-h"}));
    EXPECT_THAT(diagctl::ParseCommandLine({L"quit", L"--bogus", L"1"}).Error, HasSubstr(L"--bogus"));
    EXPECT_THAT(diagctl::ParseCommandLine({L"status", L"--size", L"64"}).Error, HasSubstr(L"does not apply"));
    EXPECT_TRUE(diagctl::ParseCommandLine({L"status", L"/?"}).Help);
}

TEST(DiagctlParts, OwnExitCodesNeverEqualAWin32ErrorPassedThrough) {
    const int own[] = {diagproto::kExitUsage, diagproto::kExitRefused, diagproto::kExitFailed,
                       diagproto::kExitTimeout, diagproto::kExitChannelTaken, diagproto::kExitStoppedAfterFailure,
                       diagproto::kExitCollectIncomplete};
    EXPECT_EQ(std::set<int>(std::begin(own), std::end(own)).size(), std::size(own));
    for (int code : own) {
        EXPECT_NE(code & diagproto::kOwnExitCodeBit, 0) << code;
        EXPECT_THAT(diagctl::ExitCodeTable(), HasSubstr(std::to_wstring(static_cast<DWORD>(code)) + L" (0x"));
    }
    for (DWORD error : {1u, 2u, 5u, 87u, 1060u, 0xFFFFu, 0x80070005u})
        EXPECT_EQ(diagproto::ExitCodeForError(error), static_cast<int>(error));
    EXPECT_EQ(diagproto::ExitCodeForError(0), diagproto::kExitFailed);
    EXPECT_EQ(diagproto::ExitCodeForError(0x20000002), diagproto::kExitFailed);
}

namespace {

std::wstring Wide(const std::string& utf8) {
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                                    static_cast<int>(wide.size())));
    return wide;
}

// A table cell as words: Markdown's code spans and runs of blanks left out.
std::wstring Words(const std::wstring& cell) {
    std::wistringstream in(std::regex_replace(cell, std::wregex(L"`"), L""));
    std::wstring words, word;
    while (in >> word)
        words += (words.empty() ? L"" : L" ") + word;
    return words;
}

}  // namespace

// docs/DIAGCTL.md has one row for every code that diagctl help prints, in
// the same words, and no code that diagctl lacks.
TEST(DiagctlParts, TheExitCodeTableOfTheDiagctlPageIsTheOneItPrints) {
    std::map<std::wstring, std::wstring> printed, documented;
    std::wistringstream table(diagctl::ExitCodeTable());
    std::wstring line;
    std::getline(table, line);  // "exit codes:"
    while (std::getline(table, line) && line.rfind(L"  (", 0) != 0) {  // up to the note on Wine
        std::wsmatch row;
        ASSERT_TRUE(std::regex_match(line, row, std::wregex(L"  (\\S.*?)  +(\\S.*)"))) << line;
        printed[row[1]] = Words(row[2]);
    }
    std::ifstream page(std::filesystem::path(VQ_DOCS_DIR) / L"DIAGCTL.md");
    ASSERT_TRUE(page.is_open());
    std::string text;
    bool inTable = false;
    size_t rows = 0;
    while (std::getline(page, text)) {
        text.erase(text.find_last_not_of('\r') + 1);
        std::smatch row;
        if (text == "| Code | Meaning |")
            inTable = true;
        else if (inTable && !std::regex_match(text, row, std::regex("\\| *([^|]*?) *\\| *([^|]*?) *\\|")))
            break;
        else if (inTable && row[1] != "---") {
            ++rows;
            documented[Words(Wide(row[1]))] = Words(Wide(row[2]));
        }
    }
    ASSERT_FALSE(printed.empty());
    ASSERT_FALSE(documented.empty());
    EXPECT_EQ(rows, documented.size()) << "a code has two rows on the page";
    for (const auto& [code, meaning] : printed)
        EXPECT_EQ(documented.count(code) ? documented[code] : L"(no row)", meaning) << "code " << code;
    for (const auto& row : documented)
        EXPECT_EQ(printed.count(row.first), 1u) << "the page has a code that diagctl does not print: " << row.first;
}

TEST(DiagctlParts, AnErrorIsItsNumberInBothFormsAndItsText) {
    EXPECT_EQ(diagctl::DescribeError(5, L"Access denied."), L"error 5 (0x00000005): Access denied.");
    EXPECT_THAT(diagctl::DescribeError(668, L""), HasSubstr(L"error 668 (0x0000029C): no text"));
    EXPECT_EQ(diagctl::FailureMessage(L"OpenService", 5).rfind(L"OpenService failed: error 5 (0x00000005): ", 0), 0u);
    const std::wstring text = diagctl::ErrorText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), L'\n');
    EXPECT_NE(text.back(), L'\r');
    EXPECT_TRUE(diagctl::ErrorText(0xFFFFFFFF).empty());  // a value, not "the last error"
}

TEST(DiagctlParts, StatusShowsBothExitCodesTheProcessWhileRunningAndTheConfiguration) {
    diagctl::ServiceFacts facts;
    facts.State = SERVICE_STOPPED;
    facts.Win32ExitCode = 13;
    facts.ServiceExitCode = 0xFFFFFFFF;
    facts.Win32ExitText = L"Invalid data.";
    const std::wstring stopped = diagctl::FormatStatus(L"ReRiruRuvazor", facts);
    EXPECT_THAT(stopped, HasSubstr(L"ReRiruRuvazor: STOPPED, win32 exit code 13, service exit code 4294967295 "
                                   L"(0xFFFFFFFF)\n"));
    EXPECT_THAT(stopped, HasSubstr(L"win32 exit code 13 (0x0000000D): Invalid data.\n"));
    EXPECT_THAT(stopped, HasSubstr(L"service exit code 4294967295 (0xFFFFFFFF): no text"));
    EXPECT_THAT(stopped, Not(HasSubstr(L"process id")));

    facts.State = SERVICE_RUNNING;
    facts.ProcessId = 42;
    facts.HasConfig = true;
    facts.StartType = SERVICE_DEMAND_START;
    facts.ImagePath = L"\"C:\\Program Files\\R\\ReRiruRuvazor.exe\"";
    const std::wstring running = diagctl::FormatStatus(L"ReRiruRuvazor", facts);
    EXPECT_THAT(running, HasSubstr(L"process id: 42\n"));
    EXPECT_THAT(running, HasSubstr(L"start type: demand\n"));
    EXPECT_THAT(running, HasSubstr(L"image path: \"C:\\Program Files\\R\\ReRiruRuvazor.exe\"\n"));
}

// Windows reads an unquoted image path one blank at a time, so a blank in the
// program part lets a shorter program run as the service; a blank in the
// arguments does not.
TEST(DiagctlParts, StatusFlagsAnUnquotedImagePathWithABlankInItsProgram) {
    struct Case {
        const wchar_t* ImagePath;
        const wchar_t* Hijack;  // empty: safe
    };
    const Case cases[] = {
        {L"C:\\Program Files\\R\\ReRiruRuvazor.exe", L"C:\\Program.exe"},
        {L"C:\\Program Files\\R\\ReRiruRuvazor.EXE -k x", L"C:\\Program.exe"},
        {L"C:\\Tools\\My\tDir\\s.exe", L"C:\\Tools\\My.exe"},
        {L"C:\\Program Files\\R\\service", L"C:\\Program.exe"},  // no .exe: the whole path is the program
        {L"\"C:\\Program Files\\R\\ReRiruRuvazor.exe\"", L""},
        {L"\"C:\\Program Files\\R\\ReRiruRuvazor.exe\" -k x", L""},
        {L"C:\\Windows\\system32\\svchost.exe -k netsvcs", L""},
        {L"C:\\R\\ReRiruRuvazor.exe", L""},
        {L"C:\\R\\my.exe.dir\\ReRiruRuvazor.exe", L""},
        {L"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.ImagePath)));
        EXPECT_EQ(diagctl::UnquotedPathHijack(c.ImagePath), c.Hijack);
        diagctl::ServiceFacts facts;
        facts.HasConfig = true;
        facts.ImagePath = c.ImagePath;
        const std::wstring shown = diagctl::FormatStatus(L"ReRiruRuvazor", facts);
        if (*c.Hijack)
            EXPECT_THAT(shown, HasSubstr(std::wstring(L"Windows tries ") + c.Hijack +
                                         L" first (the unquoted service path weakness)"));
        else
            EXPECT_THAT(shown, Not(HasSubstr(L"weakness")));
    }
}

// Windows tools take any letter case; a number is digits of its range only
// (wcstoul would take "-5" as 4294967291, " 5" and "+5" as 5); a value that
// is empty names nothing.
TEST(DiagctlParts, InputIsTakenAsWindowsToolsTakeItAndNumbersStrictly) {
    EXPECT_EQ(diagctl::ParseCommandLine({L"STATUS"}).Verb, L"status");
    const diagctl::CommandLine trace = diagctl::ParseCommandLine({L"Trace", L"SHOW", L"--JSON"});
    EXPECT_EQ(trace.Verb, L"trace show");
    EXPECT_TRUE(trace.Json && trace.Error.empty());
    EXPECT_EQ(diagctl::ParseCommandLine({L"quit", L"--TimeOut", L"0x10"}).TimeoutMs, 16u);
    EXPECT_EQ(diagctl::ParseCommandLine({L"locale", L"Set", L"en-US"}).Verb, L"locale set");
    EXPECT_THAT(diagctl::ParseCommandLine({L"--names", L"", L"quit"}).Error, HasSubstr(L"\"\" is empty"));
    for (const wchar_t* bad : {L"-5", L"+5", L" 5", L"5 ", L"0x", L"", L"99999999999", L"0x1FFFFFFFF", L"256", L"0"})
        EXPECT_FALSE(diagctl::ParseNumber(bad, 1, 255).has_value()) << testing::PrintToString(std::wstring(bad));
    EXPECT_EQ(diagctl::ParseNumber(L"255", 1, 255), 255u);
    EXPECT_EQ(diagctl::ParseNumber(L"0XfF", 1, 255), 255u);
    std::int32_t value = 0;
    EXPECT_FALSE(diagproto::ParseInt32(L" -5", value));
    EXPECT_FALSE(diagproto::ParseInt32(L"+5", value));
}

// A script checks the service's health by the exit code alone.
TEST(DiagctlParts, StatusExitsZeroOnlyWhileRunningOrAfterACleanRun) {
    diagctl::ServiceFacts facts;
    facts.State = SERVICE_RUNNING;
    facts.Win32ExitCode = 13;  // the last run's, while it runs again
    EXPECT_EQ(diagctl::StatusExitCode(facts), 0);
    facts.State = SERVICE_STOPPED;
    const DWORD pairs[][3] = {{0, 0, 0}, {1077, 0, 0}, {13, 0xFFFFFFFF, 1}, {668, 0xFFFFFFFF, 1}, {0, 5, 1}, {1077, 5, 1}};
    for (const auto& pair : pairs) {
        facts.Win32ExitCode = pair[0];
        facts.ServiceExitCode = pair[1];
        EXPECT_EQ(diagctl::StatusExitCode(facts), pair[2] ? diagproto::kExitStoppedAfterFailure : 0) << pair[0] << "/"
                                                                                                       << pair[1];
    }
}

// Only LocalSystem and the Administrators may change, add to or read a
// collection: nothing planted in it can pass for collected.
TEST(DiagctlParts, ACollectionGivesNobodyButLocalSystemAndTheAdministratorsAnyRight) {
    const std::vector<BYTE> security = diagctl::CollectionSecurity();
    ASSERT_FALSE(security.empty());
    wchar_t* sddl = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(const_cast<BYTE*>(security.data()), SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &sddl, nullptr));
    const std::wstring dacl = sddl;
    LocalFree(sddl);
    // Protected (P): nothing inherited from the parent; full access for those two, inherited by what is in it.
    EXPECT_EQ(dacl, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

// What the service control manager keeps of the service's security, in the
// status text (e2e shows a platform that keeps none: Wine).
TEST(DiagctlParts, StatusShowsTheRequiredPrivilegesAndSidTypeTheManagerKeeps) {
    EXPECT_EQ(diagctl::MultiStringNames(diagctl::RequiredPrivilegesText().c_str()),
              std::vector<std::wstring>{L"SeChangeNotifyPrivilege"});
    diagctl::ServiceFacts facts;
    facts.HasConfig = true;
    facts.RequiredPrivileges = std::vector<std::wstring>{L"SeChangeNotifyPrivilege", L"SeAuditPrivilege"};
    facts.ServiceSidType = SERVICE_SID_TYPE_UNRESTRICTED;
    EXPECT_THAT(diagctl::FormatStatus(L"R", facts), HasSubstr(L"  required privileges: SeChangeNotifyPrivilege, "
                                                              L"SeAuditPrivilege\n  service SID type: unrestricted\n"));
}

// The service's executable and its directories: nobody but LocalSystem, the
// Administrators, TrustedInstaller and the operator (here the Guests stand
// in) may change them or add to them, stricter than a log directory's rule.
TEST(DiagctlParts, AnExecutableOthersMayChangeOrAddToIsRefused) {
    BYTE self[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(self);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinGuestsSid, nullptr, self, &size));
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BG)(A;;0x1200a9;;;BU)(A;OICIIO;FA;;;BU)(A;;FA;;;CO)", L""},
        {L"O:BAD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)(A;;0x2;;;BU)", L"S-1-5-32-545 may change it or add to it (00000002)"},
        {L"O:BAD:(A;;0x10000;;;WD)", L"S-1-1-0 may change it or add to it (00010000)"},
        {L"O:BUD:(A;;FA;;;SY)", L"owned by S-1-5-32-545"},
    };
    for (const auto& [sddl, reason] : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL flag = FALSE;
        GetSecurityDescriptorOwner(descriptor, &owner, &flag);
        GetSecurityDescriptorDacl(descriptor, &flag, &dacl, &flag);
        EXPECT_EQ(diagctl::JudgeExecutableSecurity(owner, dacl, self), reason) << testing::PrintToString(sddl);
        LocalFree(descriptor);
    }
}
