// The log file in a directory that others may write: a planted link is never
// written through, a squatted file mutex holds nobody up, and a path written
// with forward slashes works as one with backslashes.
#include <gtest/gtest.h>

#include <thread>

#include "base/VqTraceRecord.h"
#include "trace_test_support.h"

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
        HANDLE mutex = CreateFileMutex(file);
        ::WaitForSingleObject(mutex, INFINITE);
        ::SetEvent(acquired);
        ::WaitForSingleObject(release, INFINITE);
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
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
        refused += s.find("linked.log\" refused: 2 links") != std::string::npos;
    }
    EXPECT_EQ(notWritten, 1u);
    EXPECT_EQ(refused, 1u);
}

TEST(TraceHostileLog, AGlobalMutexNameTakenByOthersFallsBackWithOneWarning) {
    TempDir dir;
    TestKey key;
    const std::wstring file = dir / L"fallback.log";
    CommonFileConfig(key, L"Fallback", file, TP_FILE);
    // An empty DACL: nobody may open the squatter's object.
    SECURITY_DESCRIPTOR closed{};
    ACL empty{};
    ::InitializeSecurityDescriptor(&closed, SECURITY_DESCRIPTOR_REVISION);
    ::InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
    ::SetSecurityDescriptorDacl(&closed, TRUE, &empty, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &closed, FALSE};
    const HANDLE squatted = ::CreateMutexW(&attributes, FALSE, FileMutexName(file, L"Global\\").c_str());
    ASSERT_NE(squatted, nullptr);
    {
        CTraceImpl impl(L"Fallback", key.Location());
        for (int i = 0; i < 3; ++i) Trace(impl, TL_INFO, L"[%s] %i", L"f", i);
    }
    ::CloseHandle(squatted);
    const auto lines = Lines(ReadBytes(file));
    size_t warnings = 0;
    for (const auto& line : lines) warnings += line.find("W> [VqBase::CTraceImpl::FileMutex]") != std::string::npos;
    EXPECT_EQ(warnings, 1u) << ReadBytes(file);
    EXPECT_EQ(lines.size(), 4u) << ReadBytes(file);
}
