// The error text lookup: routing, text cleaning, the numeric fallback, the
// product language from the registry and VqError.dll.
#include <gtest/gtest.h>

#include "VqErrorCodes.h"
#include "base/VqError.h"
#include "error_test_support.h"

#include <filesystem>
#include <memory>
#include <thread>
#include <type_traits>
#include <vector>

using namespace VqBase;
using namespace error_test;
using VqMessages::VQ_E_WORK_CHANNEL_NOT_OPEN;

namespace {

constexpr wchar_t kVqError[] = L"VqError.dll";
constexpr wchar_t kActiveDs[] = L"ActiveDS.dll";
constexpr wchar_t kNtDll[] = L"NtDll.dll";
constexpr wchar_t kWmiUtils[] = L"wbem\\wmiutils.dll";

constexpr wchar_t kChannelEnglish[] = L"The work channel of the diagnostic tool is not open.";
constexpr wchar_t kChannelRussian[] = L"Канал обмена с диагностическим средством не открыт.";

std::wstring Route(DWORD code) {
    const wchar_t* name = MessageModuleName(code);
    return name ? name : L"<system>";
}

struct LibraryFree {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using Module = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFree>;

std::wstring Cut(std::wstring text) {
    CutAtLastCarriageReturn(text);
    return text;
}

std::wstring Unmarked(std::wstring text) {
    RemoveInsertMarks(text);
    return text;
}

bool IsNumericText(const std::wstring& text, DWORD code) { return text == NumericErrorText(code); }

}  // namespace

// --- Routing ---

TEST(MessageRouting, BothProductBitsGoToVqErrorWhateverTheOtherBits) {
    for (DWORD code : {0x06000000u, 0x07FFFFFFu, 0xFFFFFFFFu, 0xC6000001u, 0xC6020000u, 0x86005000u, 0x46041001u})
        EXPECT_EQ(Route(code), kVqError) << std::hex << code;
    // One of the two bits alone is not a product code.
    EXPECT_EQ(Route(0x04000000), L"<system>");
    EXPECT_EQ(Route(0x02000000), L"<system>");
    EXPECT_EQ(Route(0xC4020000), L"<system>");
}

TEST(MessageRouting, ActiveDsPagesAndTheirNeighbours) {
    for (DWORD code : {0x80005000u, 0x80005001u, 0x80005FFFu, 0x00005000u, 0x00005FFFu})
        EXPECT_EQ(Route(code), kActiveDs) << std::hex << code;
    for (DWORD code : {0x80006000u, 0x80004FFFu, 0x00006000u, 0x00004FFFu, 0x40005000u})
        EXPECT_EQ(Route(code), L"<system>") << std::hex << code;
}

TEST(MessageRouting, NtDllTakesTheWholeFacility) {
    for (DWORD code : {0xC0020000u, 0xC0020001u, 0xC002FFFFu}) EXPECT_EQ(Route(code), kNtDll) << std::hex << code;
    for (DWORD code : {0xC0030000u, 0xC001FFFFu, 0x40020000u, 0xC0000005u})
        EXPECT_EQ(Route(code), L"<system>") << std::hex << code;
}

TEST(MessageRouting, WmiUtilsRangesIncludeTheirBounds) {
    for (DWORD code : {0x80041001u, 0x80041099u, 0x80042001u, 0x80042003u, 0x80044001u, 0x80044031u})
        EXPECT_EQ(Route(code), kWmiUtils) << std::hex << code;
    for (DWORD code : {0x80041000u, 0x8004109Au, 0x80042000u, 0x80042004u, 0x80044000u, 0x80044032u})
        EXPECT_EQ(Route(code), L"<system>") << std::hex << code;
}

TEST(MessageRouting, PlainWin32CodesUseTheSystemTable) {
    for (DWORD code : {0u, 2u, 5u, 87u, 668u, 0x80070005u}) {
        EXPECT_EQ(Route(code), L"<system>") << code;
        EXPECT_EQ(OpenMessageModule(code), nullptr) << code;
    }
}

TEST(MessageRouting, PlatformModulesLoadAsDataFiles) {
    for (DWORD code : {0x80005000u, 0xC0020001u, 0x80041001u}) {
        Module module(OpenMessageModule(code));
        EXPECT_NE(module.get(), nullptr) << std::hex << code;
    }
}

// --- Pure text rules ---

TEST(NumericErrorText, ShowsHexAndSignedDecimal) {
    EXPECT_EQ(NumericErrorText(0), L"0x00000000 (0)");
    EXPECT_EQ(NumericErrorText(668), L"0x0000029C (668)");
    EXPECT_EQ(NumericErrorText(0x7FFFFFFF), L"0x7FFFFFFF (2147483647)");
    EXPECT_EQ(NumericErrorText(0x80000000), L"0x80000000 (-2147483648)");
    EXPECT_EQ(NumericErrorText(0xC6000001), L"0xC6000001 (-973078527)");
    EXPECT_EQ(NumericErrorText(0xFFFFFFFF), L"0xFFFFFFFF (-1)");
}

TEST(CutAtLastCarriageReturn, DropsEverythingFromTheLastCr) {
    EXPECT_EQ(Cut(L"Access denied.\r\n"), L"Access denied.");
    EXPECT_EQ(Cut(L"First line.\r\nSecond line.\r\n"), L"First line.\r\nSecond line.");
    EXPECT_EQ(Cut(L"tail\rafter"), L"tail");
    EXPECT_EQ(Cut(L"\r"), L"");
}

TEST(CutAtLastCarriageReturn, KeepsTextsWithoutCrWhole) {
    EXPECT_EQ(Cut(L"No carriage return\n"), L"No carriage return\n");
    EXPECT_EQ(Cut(L"plain"), L"plain");
    EXPECT_EQ(Cut(L""), L"");
}

TEST(RemoveInsertMarks, FollowsTheThreeCharacterRule) {
    EXPECT_EQ(Unmarked(L"%1 is missing."), L"is missing.");   // percent, digit, blank
    EXPECT_EQ(Unmarked(L"Loaded 50%"), L"Loaded 50");        // a lone percent at the end
    EXPECT_EQ(Unmarked(L"a % b"), L"a b");                   // percent and blank; the letter stays
    EXPECT_EQ(Unmarked(L"%1x"), L"x");                       // third is not a blank
    EXPECT_EQ(Unmarked(L"ends %1"), L"ends ");               // one character after it at the end
    EXPECT_EQ(Unmarked(L"100%% done"), L"100done");          // a doubled percent counts too
    EXPECT_EQ(Unmarked(L"%1 %2 %3"), L"");
    EXPECT_EQ(Unmarked(L"no marks"), L"no marks");
}

TEST(RemoveInsertMarks, TextsFullOfPercentSignsEndEmpty) {
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 1000u}) EXPECT_EQ(Unmarked(std::wstring(n, L'%')), L"") << n;
    EXPECT_EQ(Unmarked(L"% % % "), L"");
    EXPECT_EQ(Unmarked(L"%%%x"), L"");
    EXPECT_EQ(Unmarked(L"%%% x"), L"x");
}

// --- Lookup through FormatMessageW ---

TEST(FormatErrorText, SystemTextComesBackWithoutItsLineBreak) {
    // Wine's wording differs from Windows; only the shape is checked.
    const std::wstring text = GetErrorText(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(text.empty());
    EXPECT_FALSE(IsNumericText(text, ERROR_ACCESS_DENIED)) << text;
    EXPECT_EQ(text.find(L'\r'), std::wstring::npos);
    EXPECT_NE(text.back(), L'\n');
}

TEST(FormatErrorText, AllOnesStandsForTheLastError) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    const std::wstring viaLastError = GetErrorText(0xFFFFFFFF);
    EXPECT_EQ(viaLastError, GetErrorText(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(viaLastError, GetErrorText(ERROR_ACCESS_DENIED));
}

TEST(FormatErrorText, CodeUnknownEverywhereGivesTheNumericText) {
    EXPECT_EQ(FormatErrorText(0x2FFFFFFF, nullptr), L"0x2FFFFFFF (805306367)");
    EXPECT_EQ(FormatErrorText(VQ_E_WORK_CHANNEL_NOT_OPEN, nullptr), L"0xC6000001 (-973078527)");
}

TEST(FormatErrorText, RoutedCodeIsLookedUpInItsModuleOnly) {
    Module module(OpenMessageModule(VQ_E_WORK_CHANNEL_NOT_OPEN));
    ASSERT_NE(module.get(), nullptr);
    // The system table knows 5, the product module does not.
    EXPECT_EQ(FormatErrorText(ERROR_ACCESS_DENIED, module.get()), L"0x00000005 (5)");
}

TEST(FormatErrorText, EveryRoutingClassYieldsSomeText) {
    // Wine's platform modules have no message tables: their codes may come
    // back numeric, but never empty.
    for (DWORD code : {0u, 668u, 0x80005000u, 0x00005001u, 0xC0020001u, 0x80041001u, 0x80044031u, 0xC6000001u,
                       0xC6FFFFFFu, 0xC0000005u, 0x7FFFFFFFu}) {
        const std::wstring text = GetErrorText(code);
        EXPECT_FALSE(text.empty()) << std::hex << code;
        EXPECT_EQ(text.find(L'\r'), std::wstring::npos) << std::hex << code;
    }
}

// Each module by its full path: never found along a search path where
// anyone may plant one.
TEST(MessageRouting, ModulesAreLoadedFromTheProgramsOrTheSystemDirectoryOnly) {
    EXPECT_EQ(MessageModulePath(VQ_E_WORK_CHANNEL_NOT_OPEN, L"C:\\App", L"C:\\Sys"), L"C:\\App\\VqError.dll");
    EXPECT_EQ(MessageModulePath(0x80005000, L"C:\\App", L"C:\\Sys\\"), L"C:\\Sys\\ActiveDS.dll");
    EXPECT_EQ(MessageModulePath(0x80041001, L"C:\\App", L"C:\\Sys"), L"C:\\Sys\\wbem\\wmiutils.dll");
    EXPECT_EQ(MessageModulePath(668, L"C:\\App", L"C:\\Sys"), L"");
    EXPECT_EQ(MessageModulePath(VQ_E_WORK_CHANNEL_NOT_OPEN, L"", L"C:\\Sys"), L"");
}

// --- VqError.dll ---

TEST(ProductMessages, ModuleLiesBesideTheExecutable) {
    const auto dll = std::filesystem::path(ModulePath()).parent_path() / kVqError;
    EXPECT_TRUE(std::filesystem::exists(dll)) << dll;
}

TEST(ProductMessages, EveryProductCodeHasTextInBothLanguages) {
    Module module(LoadLibraryExW(kVqError, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_NE(module.get(), nullptr);
    for (DWORD code : VqMessages::kProductCodes) {
        EXPECT_EQ(Route(code), kVqError) << std::hex << code;
        for (DWORD language : {0x0409u, 0x0419u}) {
            wchar_t text[1024] = {};
            EXPECT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module.get(), code,
                                     language, text, 1024, nullptr),
                      0u)
                << std::hex << code << " in " << language;
        }
    }
}

TEST(ProductMessages, DefaultLanguageGivesTheRussianText) {
    ASSERT_FALSE(KeyExists(kProductKey)) << "a product key is configured in this prefix";
    ASSERT_EQ(GetMessageLanguage(), kDefaultMessageLanguage);
    EXPECT_EQ(GetErrorText(VQ_E_WORK_CHANNEL_NOT_OPEN), kChannelRussian);
}

// --- "ProductLocale" on a key of the test's own ---

class ProductLocale : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(key.Created()); }

    DWORD Read(wchar_t* buffer, DWORD* length) { return ReadProductLocale(HKEY_LOCAL_MACHINE, buffer, length, key.Path().c_str()); }
    DWORD Language() { return LanguageFromProductLocale(HKEY_LOCAL_MACHINE, key.Path().c_str()); }

    TestKey key;
    wchar_t buffer[8] = {};
    DWORD length = 8;
};

TEST_F(ProductLocale, FiveCharacterStringIsRead) {
    ASSERT_EQ(key.SetString(L"ProductLocale", REG_SZ, L"en-US"), ERROR_SUCCESS);
    EXPECT_EQ(Read(buffer, &length), 0u);
    EXPECT_STREQ(buffer, L"en-US");
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(Language(), 0x0409u);
}

TEST_F(ProductLocale, ExpandStringIsReadUnexpanded) {
    ASSERT_EQ(key.SetString(L"ProductLocale", REG_EXPAND_SZ, L"%A%BC"), ERROR_SUCCESS);
    EXPECT_EQ(Read(buffer, &length), 0u);
    EXPECT_STREQ(buffer, L"%A%BC");
    ASSERT_EQ(key.SetString(L"ProductLocale", REG_EXPAND_SZ, L"en-GB"), ERROR_SUCCESS);
    EXPECT_EQ(Language(), 0x0809u);
}

TEST_F(ProductLocale, ShortBufferAsksForSixCharacters) {
    ASSERT_EQ(key.SetString(L"ProductLocale", REG_SZ, L"en-US"), ERROR_SUCCESS);
    length = 5;
    EXPECT_EQ(Read(buffer, &length), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, 6u);
    EXPECT_STREQ(buffer, L"");
}

TEST_F(ProductLocale, NullArgumentsAreRefused) {
    EXPECT_EQ(Read(nullptr, &length), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Read(buffer, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ProductLocale, OtherLengthsAreInvalidData) {
    for (const wchar_t* text : {L"", L"en", L"en-U", L"en-USA", L"abcdefghijklmno"}) {
        ASSERT_EQ(key.SetString(L"ProductLocale", REG_SZ, text), ERROR_SUCCESS);
        EXPECT_EQ(Read(buffer, &length), static_cast<DWORD>(ERROR_INVALID_DATA)) << text;
        EXPECT_EQ(Language(), kDefaultMessageLanguage) << text;
    }
    // Longer than the 16-character read buffer: the query itself fails.
    ASSERT_EQ(key.SetString(L"ProductLocale", REG_SZ, L"a-very-long-locale-name"), ERROR_SUCCESS);
    EXPECT_EQ(Read(buffer, &length), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(Language(), kDefaultMessageLanguage);
}

TEST_F(ProductLocale, SixCharactersWithoutTerminatorAreInvalidData) {
    ASSERT_EQ(key.Set(L"ProductLocale", REG_SZ, L"abcdef", 12), ERROR_SUCCESS);
    EXPECT_EQ(Read(buffer, &length), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(Language(), kDefaultMessageLanguage);
}

TEST_F(ProductLocale, OtherTypesAreInvalidData) {
    const DWORD number = 0x0409;
    ASSERT_EQ(key.Set(L"ProductLocale", REG_DWORD, &number, sizeof(number)), ERROR_SUCCESS);
    EXPECT_EQ(Read(buffer, &length), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(Language(), kDefaultMessageLanguage);
    // The right size and content, but not a string type.
    for (DWORD type : {REG_BINARY, REG_MULTI_SZ, REG_NONE}) {
        ASSERT_EQ(key.Set(L"ProductLocale", type, L"en-US", 12), ERROR_SUCCESS);
        EXPECT_EQ(Read(buffer, &length), static_cast<DWORD>(ERROR_INVALID_DATA)) << type;
    }
}

TEST_F(ProductLocale, MissingValueOrKeyGivesTheRegistryStatus) {
    EXPECT_EQ(Read(buffer, &length), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Language(), kDefaultMessageLanguage);
    const std::wstring missing = key.Path() + L"\\Missing";
    EXPECT_EQ(ReadProductLocale(HKEY_LOCAL_MACHINE, buffer, &length, missing.c_str()),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(LanguageFromProductLocale(HKEY_LOCAL_MACHINE, missing.c_str()), kDefaultMessageLanguage);
}

TEST_F(ProductLocale, UnknownNameGivesTheDefaultLanguage) {
    ASSERT_EQ(key.SetString(L"ProductLocale", REG_SZ, L"xx-XX"), ERROR_SUCCESS);
    EXPECT_EQ(Read(buffer, &length), 0u);
    EXPECT_EQ(Language(), kDefaultMessageLanguage);
}

// The one rule that diagctl locale set and the package's PRODUCTLOCALE
// check a name by, before anything is written.
TEST(ProductLocaleName, OnlyFiveCharactersWindowsKnowsNameALanguage) {
    EXPECT_EQ(LanguageOfLocaleName(L"en-US"), 0x0409u);
    EXPECT_EQ(LanguageOfLocaleName(L"ru-RU"), 0x0419u);
    for (const wchar_t* name : {L"xx-XX", L"en", L"english", L"en-US ", L""})
        EXPECT_EQ(LanguageOfLocaleName(name), 0u) << testing::PrintToString(std::wstring(name));
}

TEST_F(ProductLocale, AnyTypeAndLengthIsHandledSafely) {
    std::vector<BYTE> data(80);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i % 3 == 0 ? 0 : 'a' + i % 26);
    for (DWORD type = REG_NONE; type <= REG_QWORD; ++type) {
        for (DWORD size = 0; size <= data.size(); size += 1) {
            ASSERT_EQ(key.Set(L"ProductLocale", type, data.data(), size), ERROR_SUCCESS);
            length = 8;
            const DWORD status = Read(buffer, &length);
            if (status == 0) {
                EXPECT_TRUE(type == REG_SZ || type == REG_EXPAND_SZ);
                EXPECT_EQ(size, 12u);
                EXPECT_EQ(buffer[5], L'\0');
            }
            EXPECT_NE(Language(), 0u);
        }
    }
}

TEST_F(ProductLocale, BoundRegistryFunctionsBehaveLikeThePlatformOnes) {
    ASSERT_EQ(key.SetString(L"ProductLocale", REG_SZ, L"en-US"), ERROR_SUCCESS);
    CRegistryKey owner;
    ASSERT_EQ(owner.Open(HKEY_LOCAL_MACHINE, key.Path().c_str(), 0, KEY_READ | KEY_WOW64_64KEY), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(BoundRegistry::RegQueryValueExW(owner.Get(), L"ProductLocale", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 12u);
    // A failed open leaves the owner empty.
    EXPECT_EQ(owner.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VqErrorTest-none\\x", 0, KEY_READ), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(owner.Get(), nullptr);
}

// --- The process-wide language cache (child processes start with it empty) ---

class ProductKeyChild : public testing::Test {
protected:
    void SetUp() override {
        if (KeyExists(kProductKey)) GTEST_SKIP() << "a product key is configured in this prefix";
        guard = true;
    }
    // The child deletes the key itself; this covers a child that failed.
    void TearDown() override {
        if (guard) DeleteProductKey();
    }
    bool guard = false;
};

TEST_F(ProductKeyChild, ConfiguredLanguageIsReadOnceAndKept) {
    EXPECT_EQ(RunChild(L"ConfiguredLanguageIsReadOnceAndKept"), kChildPassed);
    EXPECT_FALSE(KeyExists(kProductKey));
}

TEST_F(ProductKeyChild, FailedFirstReadIsKeptToo) {
    EXPECT_EQ(RunChild(L"FailedFirstReadIsKeptToo"), kChildPassed);
}

TEST_F(ProductKeyChild, LanguageMissingFromTheTableFallsBackToTheNeutralSearch) {
    EXPECT_EQ(RunChild(L"LanguageMissingFromTheTableFallsBackToTheNeutralSearch"), kChildPassed);
}

TEST(ProductMessagesAbsent, ProductCodeGetsTheNumericText) {
    // A copy of this program in a folder without VqError.dll.
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / (L"vq-error-test-" + std::to_wstring(GetCurrentProcessId()));
    std::error_code error;
    fs::create_directories(folder, error);
    const fs::path copy = folder / L"error_text_test.exe";
    ASSERT_TRUE(fs::copy_file(ModulePath(), copy, fs::copy_options::overwrite_existing, error)) << error.message();
    const DWORD exitCode = RunChild(L"ProductCodeWithoutModuleIsNumeric", copy.wstring());
    fs::remove_all(folder, error);
    EXPECT_EQ(exitCode, kChildPassed);
}

// --- Child-process bodies: run only when a test above starts them ---

class ChildProcess : public testing::Test {
protected:
    void SetUp() override {
        if (!IsChild()) GTEST_SKIP() << "runs in a child process only";
    }
};

TEST_F(ChildProcess, ConfiguredLanguageIsReadOnceAndKept) {
    {
        struct Cleanup {
            ~Cleanup() { DeleteProductKey(); }
        } cleanup;
        ASSERT_EQ(SetProductLocale(REG_SZ, L"en-US"), ERROR_SUCCESS);

        // Concurrent first lookups all see the configured language.
        std::vector<DWORD> seen(8);
        std::vector<std::thread> threads;
        for (auto& language : seen) threads.emplace_back([&language] { language = GetMessageLanguage(); });
        for (auto& thread : threads) thread.join();
        for (DWORD language : seen) EXPECT_EQ(language, 0x0409u);
        EXPECT_EQ(GetErrorText(VQ_E_WORK_CHANNEL_NOT_OPEN), kChannelEnglish);

        // A later change takes effect at the next start only.
        ASSERT_EQ(SetProductLocale(REG_SZ, L"ru-RU"), ERROR_SUCCESS);
        EXPECT_EQ(GetMessageLanguage(), 0x0409u);
        EXPECT_EQ(GetErrorText(VQ_E_WORK_CHANNEL_NOT_OPEN), kChannelEnglish);
    }
    EXPECT_FALSE(KeyExists(kProductKey));
    FinishChild();
}

TEST_F(ChildProcess, FailedFirstReadIsKeptToo) {
    {
        struct Cleanup {
            ~Cleanup() { DeleteProductKey(); }
        } cleanup;
        ASSERT_FALSE(KeyExists(kProductKey));
        EXPECT_EQ(GetMessageLanguage(), kDefaultMessageLanguage);

        ASSERT_EQ(SetProductLocale(REG_SZ, L"en-US"), ERROR_SUCCESS);
        EXPECT_EQ(GetMessageLanguage(), kDefaultMessageLanguage);
        EXPECT_EQ(GetErrorText(VQ_E_WORK_CHANNEL_NOT_OPEN), kChannelRussian);
    }
    FinishChild();
}

TEST_F(ChildProcess, LanguageMissingFromTheTableFallsBackToTheNeutralSearch) {
    {
        struct Cleanup {
            ~Cleanup() { DeleteProductKey(); }
        } cleanup;
        ASSERT_EQ(SetProductLocale(REG_EXPAND_SZ, L"de-DE"), ERROR_SUCCESS);
        EXPECT_EQ(GetMessageLanguage(), LocaleNameToLCID(L"de-DE", 0));
        EXPECT_NE(GetMessageLanguage(), kDefaultMessageLanguage);
        // Which table language the neutral search picks is the platform's.
        const std::wstring text = GetErrorText(VQ_E_WORK_CHANNEL_NOT_OPEN);
        EXPECT_TRUE(text == kChannelEnglish || text == kChannelRussian) << text;
    }
    FinishChild();
}

TEST_F(ChildProcess, ProductCodeWithoutModuleIsNumeric) {
    const auto folder = std::filesystem::path(ModulePath()).parent_path();
    ASSERT_FALSE(std::filesystem::exists(folder / kVqError)) << folder;
    EXPECT_EQ(OpenMessageModule(VQ_E_WORK_CHANNEL_NOT_OPEN), nullptr);
    EXPECT_EQ(GetErrorText(VQ_E_WORK_CHANNEL_NOT_OPEN), L"0xC6000001 (-973078527)");
    EXPECT_EQ(GetErrorText(VqMessages::VQ_E_TRACE_CONFIG_UNREADABLE), L"0xC6000004 (-973078524)");
    FinishChild();
}
