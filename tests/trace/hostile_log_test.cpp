// The log file in a directory that others may write: a planted link is never
// written through, a squatted file mutex holds nobody up, and a path written
// with forward slashes works as one with backslashes.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "base/VqAccessList.h"
#include "base/VqLogFile.h"
#include "trace_test_support.h"

// After windows.h, which it needs.
#include <sddl.h>

using namespace VqBase;
using namespace trace_test;

TEST(TraceHostileLog, AHardLinkPlantedAsTheLogLeavesItsTargetUntouched) {
    TempDir dir;
    TestKey key;
    const std::wstring target = dir / L"precious.dat";
    WriteBytes(target, "precious\r\n");
    ASSERT_TRUE(::CreateHardLinkW((dir / L"Linked.log").c_str(), target.c_str(), nullptr));
    // Without TP_APPEND a private log is emptied at start: the worst case.
    for (DWORD params : {DWORD{TP_FILE}, DWORD{TP_FILE | TP_APPEND}}) {
        FileConfig(key, L"Linked", dir.Path(), params);
        CTraceImpl impl(L"Linked", key.Location());
        Trace(impl, TL_INFO, L"[%s] through the link", L"f");
        EXPECT_EQ(ReadBytes(target), "precious\r\n") << "params " << params;
    }
    // A plain file in its place is written again.
    ASSERT_TRUE(::DeleteFileW((dir / L"Linked.log").c_str()));
    FileConfig(key, L"Linked", dir.Path(), TP_FILE);
    CTraceImpl impl(L"Linked", key.Location());
    Trace(impl, TL_INFO, L"[%s] plain", L"f");
    EXPECT_EQ(ReadBytes(dir / L"Linked.log"), "[f] plain\r\n");
}

TEST(TraceHostileLog, ASquattedCommonFileMutexDelaysNothingAndLosesNothing) {
    TempDir dir;
    TestKey key;
    const std::wstring file = dir / L"common.log";
    CommonFileConfig(key, L"Squatted", file, TP_FILE);

    // The squatter holds the mutex for the whole test (ownership is per thread).
    HANDLE acquired = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread squatter([&] {
        const FileMutex mutex = CreateFileMutex(file, ProcessUserSid());
        ::WaitForSingleObject(mutex.Handle.get(), INFINITE);
        ::SetEvent(acquired);
        ::WaitForSingleObject(release, INFINITE);
        ::ReleaseMutex(mutex.Handle.get());
    });
    ::WaitForSingleObject(acquired, INFINITE);
    {
        const ULONGLONG begin = ::GetTickCount64();
        CTraceImpl impl(L"Squatted", key.Location());
        constexpr int kRecords = 40;
        for (int i = 0; i < kRecords; ++i)
            Trace(impl, TL_INFO, L"[%s] %i", L"f", i);
        // One bounded wait at most, not one per record.
        EXPECT_LT(::GetTickCount64() - begin, 1000u);
        EXPECT_EQ(Lines(ReadBytes(file)).size(), static_cast<size_t>(kRecords));
    }
    ::SetEvent(release);
    squatter.join();
    ::CloseHandle(acquired);
    ::CloseHandle(release);
}

TEST(TraceHostileLog, ATracePathWithForwardSlashesCreatesItsDirectories) {
    TempDir dir;
    TestKey key;
    std::wstring slashed = dir / L"a/b";
    for (wchar_t& c : slashed)
        if (c == L'\\') c = L'/';
    FileConfig(key, L"Slashed", slashed, TP_FILE);
    CTraceImpl impl(L"Slashed", key.Location());
    Trace(impl, TL_INFO, L"[%s] here", L"f");
    EXPECT_EQ(ReadBytes(dir / L"a\\b\\Slashed.log"), "[f] here\r\n");
}

TEST(TraceHostileLog, AFileThatCannotBeHadIsReportedOnceThroughTheDebugger) {
    const ChildResult child = RunChild(L"FileProblemsReportedOnce", true);
    EXPECT_EQ(child.exitCode, 0u);
    size_t notWritten = 0, refused = 0;
    for (const auto& s : child.debugStrings) {
        notWritten += s.find("not written: cannot create the directories") != std::string::npos;
        refused += s.find("linked.log\": a file with another link (owner S-1-") != std::string::npos;
    }
    EXPECT_EQ(notWritten, 1u);
    EXPECT_EQ(refused, 1u);
}

namespace {

// A mutex under name that nobody else may open (an empty DACL), or that
// another user made and anyone may use.
HANDLE SquatMutex(const std::wstring& name, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) return nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), sd, FALSE};
    const HANDLE mutex = ::CreateMutexW(&attributes, FALSE, name.c_str());
    ::LocalFree(sd);
    return mutex;
}

constexpr wchar_t kClosed[] = L"D:";
constexpr wchar_t kForeign[] = L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)";

std::vector<std::string> MutexNotes(const std::string& text) {
    std::vector<std::string> notes;
    for (const auto& line : Lines(text))
        if (line.find("W> [VqBase::CTraceImpl::FileMutex]") != std::string::npos) notes.push_back(line);
    return notes;
}

std::string AsciiName(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

TEST(TraceHostileLog, AGlobalMutexNameTakenByOthersFallsBackWithOneWarning) {
    TempDir dir;
    TestKey key;
    const std::wstring file = dir / L"fallback.log";
    CommonFileConfig(key, L"Fallback", file, TP_FILE);
    const std::string global = AsciiName(FileMutexName(file, L"Global\\"));
    const std::string local = AsciiName(FileMutexName(file, L"Local\\"));
    {
        const UniqueHandle squatted(SquatMutex(FileMutexName(file, L"Global\\"), kClosed));
        ASSERT_NE(squatted, nullptr);
        CTraceImpl impl(L"Fallback", key.Location());
        for (int i = 0; i < 3; ++i) Trace(impl, TL_INFO, L"[%s] %i", L"f", i);
    }
    auto notes = MutexNotes(ReadBytes(file));
    ASSERT_EQ(notes.size(), 1u) << ReadBytes(file);
    EXPECT_NE(notes[0].find("\"" + global + "\" not available: E(00000005): using \"" + local + "\""), std::string::npos)
        << notes[0];
    EXPECT_EQ(Lines(ReadBytes(file)).size(), 4u) << ReadBytes(file);

    // Both names taken: said, and the records still written.
    ASSERT_TRUE(::DeleteFileW(file.c_str()));
    {
        const UniqueHandle global(SquatMutex(FileMutexName(file, L"Global\\"), kClosed));
        const UniqueHandle local(SquatMutex(FileMutexName(file, L"Local\\"), kClosed));
        CTraceImpl impl(L"Fallback", key.Location());
        for (int i = 0; i < 3; ++i) Trace(impl, TL_INFO, L"[%s] %i", L"f", i);
    }
    notes = MutexNotes(ReadBytes(file));
    ASSERT_EQ(notes.size(), 1u) << ReadBytes(file);
    EXPECT_NE(notes[0].find("; nor \"" + local + "\": E(00000005): the writes of several processes are not ordered"),
              std::string::npos)
        << notes[0];
    EXPECT_EQ(Lines(ReadBytes(file)).size(), 4u) << ReadBytes(file);
}

TEST(TraceHostileLog, APulsingSquatterOfAnotherUserSlowsNoRecord) {
    TempDir dir;
    TestKey key;
    const std::wstring file = dir / L"pulsed.log";
    CommonFileConfig(key, L"Pulsed", file, TP_FILE);

    // Another user made the name first; it holds the mutex and lets go every
    // 45 ms for a moment.
    const UniqueHandle mutex(SquatMutex(FileMutexName(file, L"Global\\"), kForeign));
    ASSERT_NE(mutex, nullptr);
    const UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread squatter([&] {
        while (::WaitForSingleObject(stop.get(), 0) == WAIT_TIMEOUT) {
            ::WaitForSingleObject(mutex.get(), INFINITE);
            ::WaitForSingleObject(stop.get(), 45);
            ::ReleaseMutex(mutex.get());
            ::Sleep(1);
        }
    });
    // More records than a 20-pair export request writes (about 700 ms here).
    // Each is timed on its own: a record that waited for the squatter takes
    // 30 ms or more, and a busy machine makes few records that slow, where a
    // sum of times would swing with the load.
    constexpr int kRecords = 200;
    int slow = 0;
    double total = 0;
    {
        CTraceImpl impl(L"Pulsed", key.Location());
        LARGE_INTEGER frequency{}, before{}, after{};
        ::QueryPerformanceFrequency(&frequency);
        for (int i = 0; i < kRecords; ++i) {
            ::QueryPerformanceCounter(&before);
            Trace(impl, TL_INFO, L"[%s] %i", L"f", i);
            ::QueryPerformanceCounter(&after);
            const double ms = 1000.0 * static_cast<double>(after.QuadPart - before.QuadPart) /
                              static_cast<double>(frequency.QuadPart);
            total += ms;
            slow += ms >= 30.0;
        }
    }
    ::SetEvent(stop.get());
    squatter.join();

    // A single bounded wait is 50 ms, 7 % of such a request.
    EXPECT_LE(slow, kRecords / 20) << slow << " of " << kRecords << " records took 30 ms or more; all took "
                                   << static_cast<int>(total) << " ms";
    const auto notes = MutexNotes(ReadBytes(file));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("was made by S-1-5-21-1-2-3-1001, not by this user or an administrator"), std::string::npos)
        << notes[0];
    EXPECT_EQ(Lines(ReadBytes(file)).size(), kRecords + 1u) << "nothing lost";
}
