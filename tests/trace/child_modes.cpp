// The child modes of the trace tests: each runs in a process of its own,
// started by a test of this executable (see RunChild).
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <thread>

#include "trace_test_support.h"

using namespace VqBase;
using namespace trace_test;

namespace {
std::wstring Env(const wchar_t* name) {
    wchar_t buffer[1024];
    DWORD length = ::GetEnvironmentVariableW(name, buffer, 1024);
    return length && length < 1024 ? std::wstring(buffer, length) : std::wstring();
}

std::unique_ptr<CTraceImpl> FailingFactory(const wchar_t*, TraceLocation) { throw std::runtime_error("no trace"); }
}  // namespace

// Construction fails: one debugger message, then silence.
TEST(TraceChild, DISABLED_FailedConstruction) {
    CVqTrace trace(L"ChildFail", MissingLocation(), &FailingFactory);
    ASSERT_EQ(trace.Impl(), nullptr);
    ::SetLastError(77);
    trace.TraceW(TL_BREAK, L"[%s] break", L"child");
    trace.TraceA(TL_ERROR, "[%s] error", "child");
    const BYTE data[4] = {1, 2, 3, 4};
    trace.TraceDump(TL_BREAK, L"dump", data, 4, 0);
    EXPECT_FALSE(trace.Reload());
    EXPECT_FALSE(trace.IsEnabled());
    EXPECT_FALSE(trace.IsLevelEnabled(TL_ERROR));
    EXPECT_FALSE(trace.IsContext(0));
    EXPECT_FALSE(trace.IsTimeEnabled());
    EXPECT_FALSE(trace.IsMsecEnabled());
    EXPECT_EQ(::GetLastError(), 77u);
}

// Records for the debugger: the debugger sink, and the note after level 16.
TEST(TraceChild, DISABLED_DebuggerSink) {
    CTraceImpl impl(L"DebuggerSink", MissingLocation());
    impl.m_Config.Publish(0x1E, TP_DEBUGGER, 0, 0xFFFFFFFF);
    Trace(impl, TL_INFO, L"[%s] info %d", L"child", 1);
    Trace(impl, TL_BREAK, L"[%s] break with debugger sink", L"child");
    impl.m_Config.Publish(0x1E, 0x02, 0, 0xFFFFFFFF);
    Trace(impl, TL_BREAK, L"[%s] break alone", L"child");
    Trace(impl, TL_ERROR | TL_WARNING, L"[%s] two bits", L"child");
}

// A log file that cannot be had: below a file instead of a directory, then
// a hard link in its place. Each kind is reported once.
TEST(TraceChild, DISABLED_FileProblemsReportedOnce) {
    TempDir dir;
    WriteBytes(dir / L"plain", "x");
    CTraceImpl impl(L"FileProblems", MissingLocation());
    impl.m_Config.m_FilePath = dir / L"plain\\sub\\f.log";
    impl.m_Config.Publish(TL_INFO, TP_FILE, 0, 0xFFFFFFFF);
    for (int i = 0; i < 3; ++i) Trace(impl, TL_INFO, L"[%s] lost %d", L"child", i);
    WriteBytes(dir / L"target", "x");
    ::CreateHardLinkW((dir / L"linked.log").c_str(), (dir / L"target").c_str(), nullptr);
    impl.m_Config.m_FilePath = dir / L"linked.log";
    for (int i = 0; i < 3; ++i) Trace(impl, TL_INFO, L"[%s] refused %d", L"child", i);
}

// Two threads race on the first GetTrace() of the process.
TEST(TraceChild, DISABLED_SingletonRace) {
    // A Win32 event, not a C++20 latch: those lose wake-ups with this
    // toolchain under Wine (platform-notes section 14).
    const std::unique_ptr<void, decltype(&::CloseHandle)> start(::CreateEventW(nullptr, TRUE, FALSE, nullptr),
                                                                &::CloseHandle);
    ASSERT_NE(start.get(), nullptr);
    CVqTrace* seen[2] = {};
    DWORD errors[2] = {};
    auto run = [&](int i) {
        ::WaitForSingleObject(start.get(), INFINITE);
        ::SetLastError(1000 + i);
        seen[i] = &GetTrace();
        errors[i] = ::GetLastError();
    };
    std::thread a(run, 0), b(run, 1);
    ::SetEvent(start.get());
    a.join();
    b.join();
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(errors[0], 1000u);
    EXPECT_EQ(errors[1], 1001u);
}

// Run without a console: the trace allocates one, and releases it on Reload
// without TP_CONSOLE and on destruction.
TEST(TraceChild, DISABLED_ConsoleBookkeeping) {
    TestKey key;
    key.SetNumber(L"ChildConsole", L"EnableMask", TL_INFO);
    key.SetNumber(L"ChildConsole", L"ParamsMask", TP_CONSOLE);
    {
        CTraceImpl impl(L"ChildConsole", key.Location());
        EXPECT_TRUE(impl.m_Console.m_Allocated);
        EXPECT_TRUE(impl.m_Console.IsValid());
        // A console is attached now: another cannot be allocated.
        EXPECT_FALSE(::AllocConsole());

        key.SetNumber(L"ChildConsole", L"ParamsMask", 0x02);
        EXPECT_TRUE(impl.Reload());
        EXPECT_FALSE(impl.m_Console.m_Allocated);
        EXPECT_EQ(impl.m_Console.m_hOutput, nullptr);
        EXPECT_TRUE(::AllocConsole()) << "the trace's console was not freed";
        ::FreeConsole();

        key.SetNumber(L"ChildConsole", L"ParamsMask", TP_CONSOLE);
        EXPECT_TRUE(impl.Reload());
        EXPECT_TRUE(impl.m_Console.m_Allocated);
    }
    EXPECT_TRUE(::AllocConsole()) << "destruction did not free the console";
    ::FreeConsole();
}

// Appends numbered records to the common file named by VQ_TRACE_TEST_FILE.
TEST(TraceChild, DISABLED_Writer) {
    const std::wstring file = Env(L"VQ_TRACE_TEST_FILE");
    ASSERT_FALSE(file.empty());
    CTraceImpl impl(L"Writer", MissingLocation());
    impl.m_Config.m_FilePath = file;
    impl.m_Config.Publish(TL_INFO, TP_FILE | TP_THREAD, 1, 0xFFFFFFFF);
    const std::wstring padding(150, L'p');
    for (int i = 0; i < 3000; ++i) Trace(impl, TL_INFO, L"[%s] record %05d %s", L"process", i, padding.c_str());
}

// Another user's loop on taking the log's name VQ_TRACE_TEST_FILE (a file,
// a hard link, a directory) until the event VQ_TRACE_TEST_STOP; its exit
// code is how often it had the name.
TEST(TraceChild, DISABLED_Racer) {
    const std::wstring name = Env(L"VQ_TRACE_TEST_FILE");
    const UniqueHandle stop(::OpenEventW(SYNCHRONIZE, FALSE, Env(L"VQ_TRACE_TEST_STOP").c_str()));
    const UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, Env(L"VQ_TRACE_TEST_READY").c_str()));
    ASSERT_TRUE(stop && ready);
    const std::wstring own = name + L".racer";
    WriteBytes(own, "the racer's\r\n");
    UINT won = 0;
    ::SetEvent(ready.get());
    while (::WaitForSingleObject(stop.get(), 0) == WAIT_TIMEOUT) {
        const UniqueHandle taken(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        won += (taken.get() != INVALID_HANDLE_VALUE) + ::CreateHardLinkW(name.c_str(), own.c_str(), nullptr) +
               ::CreateDirectoryW(name.c_str(), nullptr);
    }
    ::ExitProcess(won);
}

// Another program that holds VQ_TRACE_TEST_FILE open without sharing it,
// for VQ_TRACE_TEST_HOLD_MS.
TEST(TraceChild, DISABLED_Holder) {
    const UniqueHandle held(::CreateFileW(Env(L"VQ_TRACE_TEST_FILE").c_str(), FILE_APPEND_DATA, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    const UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, Env(L"VQ_TRACE_TEST_READY").c_str()));
    ASSERT_TRUE(held.get() != INVALID_HANDLE_VALUE && ready);
    ::SetEvent(ready.get());
    ::Sleep(std::stoul(Env(L"VQ_TRACE_TEST_HOLD_MS")));
}
