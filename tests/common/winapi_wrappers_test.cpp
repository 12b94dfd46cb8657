#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "child_process.h"
#include "common/winapi_wrappers.h"
#include "expect_helpers.h"
#include "trace_capture.h"

using common_tests::Hex16;
using common_tests::Hex8;
using testing_support::TraceCapture;

namespace {

std::wstring UniqueName(const wchar_t* stem) {
    return std::wstring(L"h3-") + stem + L"-" + std::to_wstring(GetCurrentProcessId());
}

// The one record a wrapper wrote.
testing_support::TraceRecord OnlyRecord(const TraceCapture& capture) {
    const auto records = capture.Records();
    EXPECT_EQ(records.size(), 1u) << capture.Dump();
    return records.empty() ? testing_support::TraceRecord{0, ""} : records.back();
}

// Checks a success line at TL_INFO.
void ExpectOk(const TraceCapture& capture, const std::string& text) {
    const auto record = OnlyRecord(capture);
    EXPECT_EQ(record.text, text);
    EXPECT_EQ(record.level, VqBase::TL_INFO);
}

// Checks a failure line at TL_ERROR: its text up to "E(", and that the code
// it shows is the thread's last error (read before anything else runs).
void ExpectFailure(TraceCapture& capture, DWORD lastError, const std::string& head, const std::string& tail = ")") {
    const auto record = OnlyRecord(capture);
    EXPECT_EQ(record.level, VqBase::TL_ERROR);
    EXPECT_NE(lastError, 0u) << record.text;
    EXPECT_EQ(record.text, "E> " + head + "E(" + Hex8(lastError) + tail);
}

class Wrappers : public testing::Test {
protected:
    TraceCapture capture;
};

TEST_F(Wrappers, OpenEvent) {
    const std::wstring name = UniqueName(L"open-event");
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(created, nullptr);
    const std::string shown(name.begin(), name.end());

    HANDLE opened = Winapi::OpenEvent(name.c_str(), SYNCHRONIZE, false);
    ASSERT_NE(opened, nullptr);
    ExpectOk(capture, "[Winapi::OpenEvent] OpenEventW(\"" + shown + "\"): ok, " + Hex16(opened));

    capture.Clear();
    EXPECT_EQ(Winapi::OpenEvent(L"h3-no-such-event", SYNCHRONIZE, false), nullptr);
    const DWORD missing = Winapi::GetLastError();
    EXPECT_EQ(missing, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ExpectFailure(capture, missing, "[Winapi::OpenEvent] OpenEventW(\"h3-no-such-event\"): ");

    // A null name is handed to Windows and logged as an empty text.
    capture.Clear();
    EXPECT_EQ(Winapi::OpenEvent(nullptr, SYNCHRONIZE, false), nullptr);
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::OpenEvent] OpenEventW(\"\"): ");

    CloseHandle(opened);
    CloseHandle(created);
}

TEST_F(Wrappers, SetEvent) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(Winapi::SetEvent(event));
    ExpectOk(capture, "[Winapi::SetEvent] SetEvent(" + Hex16(event) + "): ok");
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    capture.Clear();
    EXPECT_FALSE(Winapi::SetEvent(nullptr));
    const DWORD error = Winapi::GetLastError();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ExpectFailure(capture, error, "[Winapi::SetEvent] SetEvent(0000000000000000): ");
    CloseHandle(event);
}

TEST_F(Wrappers, SuccessLeavesTheLastErrorAlone) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    Winapi::SetLastError(0xBEEF);
    EXPECT_EQ(Winapi::GetLastError(), 0xBEEFu);
    EXPECT_TRUE(Winapi::SetEvent(event));
    EXPECT_EQ(Winapi::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Winapi::WaitForMultipleObjects(1, &event, false, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Winapi::GetLastError(), 0xBEEFu);
    EXPECT_TRUE(Winapi::CloseHandle(event));
    EXPECT_EQ(capture.Count(), 4u) << capture.Dump();
}

TEST_F(Wrappers, WaitForSingleObjectClassifiesEveryResult) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);

    EXPECT_EQ(Winapi::WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ExpectOk(capture, "[Winapi::WaitForSingleObject] WaitForSingleObject(" + Hex16(event) + "): Timeout (0 msec)");

    capture.Clear();
    SetEvent(event);
    EXPECT_EQ(Winapi::WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    ExpectOk(capture, "[Winapi::WaitForSingleObject] WaitForSingleObject(" + Hex16(event) + "): Object");

    capture.Clear();
    EXPECT_EQ(Winapi::WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    const DWORD error = Winapi::GetLastError();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ExpectFailure(capture, error, "[Winapi::WaitForSingleObject] WaitForSingleObject(0000000000000000): Fail, ");
    CloseHandle(event);
}

// A poll is silent unless it fails: a signal pending or not is no event.
TEST_F(Wrappers, PollObjectWritesOnlyItsFailure) {
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(Winapi::PollObject(event), WAIT_OBJECT_0);
    EXPECT_EQ(Winapi::PollObject(event), static_cast<DWORD>(WAIT_TIMEOUT));  // the signal was taken
    EXPECT_EQ(capture.Count(), 0u) << capture.Dump();
    EXPECT_EQ(Winapi::PollObject(nullptr), WAIT_FAILED);
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::PollObject] WaitForSingleObject(0000000000000000, 0): Fail, ");
    CloseHandle(event);
}

TEST_F(Wrappers, WaitOnAnAbandonedMutex) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    // The owning thread ends without releasing it.
    std::thread([mutex] { WaitForSingleObject(mutex, INFINITE); }).join();

    Winapi::SetLastError(0x1234);
    EXPECT_EQ(Winapi::WaitForSingleObject(mutex, 1000), static_cast<DWORD>(WAIT_ABANDONED));
    const DWORD error = Winapi::GetLastError();
    const auto record = OnlyRecord(capture);
    EXPECT_EQ(record.level, VqBase::TL_ERROR);
    EXPECT_EQ(record.text, "E> [Winapi::WaitForSingleObject] WaitForSingleObject(" + Hex16(mutex) + "): Result=128, E(" +
                               Hex8(error) + ")");
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

// A console process of the prefix that ends with the given code.
PROCESS_INFORMATION StartCmd(const wchar_t* arguments, DWORD flags = CREATE_NO_WINDOW) {
    std::wstring commandLine = std::wstring(L"cmd.exe /c ") + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    EXPECT_TRUE(testing_support::StartProcess(nullptr, commandLine.data(), FALSE, flags, &startup, &info));
    if (info.hThread) CloseHandle(info.hThread);
    return info;
}

TEST_F(Wrappers, WaitAllOverThreeEndedProcesses) {
    HANDLE processes[3];
    for (int i = 0; i < 3; ++i) processes[i] = StartCmd(L"exit 0").hProcess;
    capture.Clear();

    const DWORD result = Winapi::WaitForMultipleObjects(3, processes, true, testing_support::kChildTimeoutMs);
    EXPECT_LT(result, 3u);
    ExpectOk(capture, "[Winapi::WaitForMultipleObjects] WaitForMultipleObjects(3: {" + Hex16(processes[0]) + ", " +
                          Hex16(processes[1]) + ", " + Hex16(processes[2]) + "}): All");
    for (HANDLE process : processes) CloseHandle(process);
}

TEST_F(Wrappers, WaitAnyNamesTheSignalledObject) {
    HANDLE events[3];
    for (auto& event : events) event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetEvent(events[1]);

    EXPECT_EQ(Winapi::WaitForMultipleObjects(3, events, false, 0), 1u);
    const std::string list =
        "3: {" + Hex16(events[0]) + ", " + Hex16(events[1]) + ", " + Hex16(events[2]) + "}";
    ExpectOk(capture, "[Winapi::WaitForMultipleObjects] WaitForMultipleObjects(" + list + "): Object 2/3");

    capture.Clear();
    ResetEvent(events[1]);
    EXPECT_EQ(Winapi::WaitForMultipleObjects(3, events, false, 5), static_cast<DWORD>(WAIT_TIMEOUT));
    ExpectOk(capture, "[Winapi::WaitForMultipleObjects] WaitForMultipleObjects(" + list + "): Timeout (5 msec)");
    for (HANDLE event : events) CloseHandle(event);
}

TEST_F(Wrappers, WaitForMultipleObjectsWithoutHandles) {
    EXPECT_EQ(Winapi::WaitForMultipleObjects(0, nullptr, true, 0), WAIT_FAILED);
    const DWORD error = Winapi::GetLastError();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ExpectFailure(capture, error, "[Winapi::WaitForMultipleObjects] WaitForMultipleObjects(0: {}): Fail, ");
}

TEST_F(Wrappers, WaitForMultipleObjectsOnAnAbandonedMutex) {
    HANDLE handles[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateMutexW(nullptr, FALSE, nullptr)};
    std::thread([&] { WaitForSingleObject(handles[1], INFINITE); }).join();

    EXPECT_EQ(Winapi::WaitForMultipleObjects(2, handles, false, 1000), static_cast<DWORD>(WAIT_ABANDONED_0 + 1));
    const DWORD error = Winapi::GetLastError();
    const auto record = OnlyRecord(capture);
    EXPECT_EQ(record.level, VqBase::TL_ERROR);
    EXPECT_EQ(record.text, "E> [Winapi::WaitForMultipleObjects] WaitForMultipleObjects(2: {" + Hex16(handles[0]) +
                               ", " + Hex16(handles[1]) + "}): Result=129, E(" + Hex8(error) + ")");
    ReleaseMutex(handles[1]);
    for (HANDLE handle : handles) CloseHandle(handle);
}

TEST_F(Wrappers, CloseHandle) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(Winapi::CloseHandle(event));
    ExpectOk(capture, "[Winapi::CloseHandle] CloseHandle(" + Hex16(event) + "): ok");

    // Closed already: Windows refuses, the line shows the same handle.
    capture.Clear();
    EXPECT_FALSE(Winapi::CloseHandle(event));
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::CloseHandle] CloseHandle(" + Hex16(event) + "): ");

    capture.Clear();
    EXPECT_FALSE(Winapi::CloseHandle(nullptr));
    const DWORD error = Winapi::GetLastError();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ExpectFailure(capture, error, "[Winapi::CloseHandle] CloseHandle(0000000000000000): ");
}

TEST_F(Wrappers, HandlesPrintTheirLow32Bits) {
    const auto wide = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x12345678000001B0ull));
    const HANDLE two[2] = {reinterpret_cast<HANDLE>(0x1A4), wide};
    EXPECT_EQ(Winapi::HandlesToString(2, two), L"2: {00000000000001A4, 00000000000001B0}");
    EXPECT_EQ(Winapi::HandlesToString(1, two), L"1: {00000000000001A4}");
    EXPECT_EQ(Winapi::HandlesToString(0, two), L"0: {}");
    EXPECT_EQ(Winapi::HandlesToString(0, nullptr), L"0: {}");
    const HANDLE full = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0xFFFFFFFFFFFFFFF0ull));
    EXPECT_EQ(Winapi::HandlesToString(1, &full), L"1: {00000000FFFFFFF0}");

    EXPECT_FALSE(Winapi::CloseHandle(wide));
    const auto record = OnlyRecord(capture);
    EXPECT_EQ(record.text.rfind("E> [Winapi::CloseHandle] CloseHandle(00000000000001B0): E(", 0), 0u) << record.text;
}

TEST_F(Wrappers, CreateProcessAndItsExitCode) {
    wchar_t commandLine[] = L"cmd.exe /c exit 3";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Winapi::CreateProcess(nullptr, commandLine, nullptr, nullptr, false, CREATE_NO_WINDOW, nullptr,
                                      nullptr, &startup, &info));
    char pid[32];
    std::snprintf(pid, sizeof(pid), "%u|%08X", static_cast<unsigned>(info.dwProcessId),
                  static_cast<unsigned>(info.dwProcessId));
    ExpectOk(capture, "[Winapi::CreateProcess] CreateProcessW(cmd.exe /c exit 3): ok, " + Hex16(info.hProcess) +
                          " (PID: " + pid + ")");
    ASSERT_EQ(WaitForSingleObject(info.hProcess, testing_support::kChildTimeoutMs), WAIT_OBJECT_0);

    capture.Clear();
    DWORD code = 0;
    EXPECT_TRUE(Winapi::GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 3u);
    ExpectOk(capture, "[Winapi::GetExitCodeProcess] GetExitCodeProcess(" + Hex16(info.hProcess) + "): ok, 3 (00000003)");

    capture.Clear();
    EXPECT_FALSE(Winapi::GetExitCodeProcess(nullptr, &code));
    const DWORD error = Winapi::GetLastError();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    ExpectFailure(capture, error, "[Winapi::GetExitCodeProcess] GetExitCodeProcess(0000000000000000): ");
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

TEST_F(Wrappers, CreateProcessLogsTheApplicationNameWithoutCommandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    EXPECT_FALSE(Winapi::CreateProcess(L"C:\\h3-missing\\tool.exe", nullptr, nullptr, nullptr, false, 0, nullptr,
                                       nullptr, &startup, &info));
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::CreateProcess] CreateProcessW(C:\\h3-missing\\tool.exe): ");

    capture.Clear();
    // Wine's CreateProcessW reads through the null command line; the wrapper
    // answers this case itself instead of crashing.
    EXPECT_FALSE(Winapi::CreateProcess(nullptr, nullptr, nullptr, nullptr, false, 0, nullptr, nullptr, &startup, &info));
    EXPECT_EQ(Winapi::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::CreateProcess] CreateProcessW(): ");

    // With both, the line names the application that runs and the command line.
    capture.Clear();
    wchar_t commandLine[] = L"reg.exe export a b";
    EXPECT_FALSE(Winapi::CreateProcess(L"C:\\h3-missing\\tool.exe", commandLine, nullptr, nullptr, false, 0, nullptr,
                                       nullptr, &startup, &info));
    ExpectFailure(capture, Winapi::GetLastError(),
                  "[Winapi::CreateProcess] CreateProcessW(\"C:\\h3-missing\\tool.exe\", reg.exe export a b): ");

    // Control characters of a command line are escaped: one call, one line.
    capture.Clear();
    wchar_t forged[] = L"C:\\h3-missing\\tool.exe\r\nE> forged";
    EXPECT_FALSE(Winapi::CreateProcess(nullptr, forged, nullptr, nullptr, false, 0, nullptr, nullptr, &startup, &info));
    ExpectFailure(capture, Winapi::GetLastError(),
                  "[Winapi::CreateProcess] CreateProcessW(C:\\h3-missing\\tool.exe\\x0D\\x0AE> forged): ");
}

TEST_F(Wrappers, TerminateProcess) {
    const PROCESS_INFORMATION info = StartCmd(L"exit 0", CREATE_NO_WINDOW | CREATE_SUSPENDED);
    ASSERT_NE(info.hProcess, nullptr);
    capture.Clear();
    EXPECT_TRUE(Winapi::TerminateProcess(info.hProcess, 7));
    ExpectOk(capture, "[Winapi::TerminateProcess] TerminateProcess(" + Hex16(info.hProcess) + ", 7): ok");
    ASSERT_EQ(WaitForSingleObject(info.hProcess, testing_support::kChildTimeoutMs), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    EXPECT_EQ(code, 7u);

    capture.Clear();
    EXPECT_FALSE(Winapi::TerminateProcess(nullptr, 1));
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::TerminateProcess] TerminateProcess(0000000000000000, 1): ");
    CloseHandle(info.hProcess);
}

TEST_F(Wrappers, FileMappingAndViews) {
    const std::wstring name = UniqueName(L"mapping");
    HANDLE created = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
    ASSERT_NE(created, nullptr);
    const std::string shown(name.begin(), name.end());

    HANDLE mapping = Winapi::OpenFileMapping(name.c_str(), FILE_MAP_READ | FILE_MAP_WRITE, false);
    ASSERT_NE(mapping, nullptr);
    ExpectOk(capture, "[Winapi::OpenFileMapping] OpenFileMappingW(\"" + shown + "\"): ok, " + Hex16(mapping));

    capture.Clear();
    void* view = Winapi::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0);
    ASSERT_NE(view, nullptr);
    ExpectOk(capture, "[Winapi::MapViewOfFile] MapViewOfFile(" + Hex16(mapping) + ", 0:0): ok, 0x" + Hex16(view));

    // The offset travels as high part 1, low part 0, beyond the section.
    capture.Clear();
    EXPECT_EQ(Winapi::MapViewOfFile(mapping, FILE_MAP_READ, 1ull << 32, 16), nullptr);
    ExpectFailure(capture, Winapi::GetLastError(),
                  "[Winapi::MapViewOfFile] MapViewOfFile(" + Hex16(mapping) + ", 4294967296:16): ");

    capture.Clear();
    EXPECT_TRUE(Winapi::UnmapViewOfFile(view));
    ExpectOk(capture, "[Winapi::UnmapViewOfFile] UnmapViewOfFile(0x" + Hex16(view) + "): ok");

    capture.Clear();
    EXPECT_FALSE(Winapi::UnmapViewOfFile(nullptr));
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::UnmapViewOfFile] UnmapViewOfFile(0x0000000000000000): ");

    capture.Clear();
    EXPECT_EQ(Winapi::OpenFileMapping(L"h3-no-such-mapping", FILE_MAP_READ, false), nullptr);
    EXPECT_EQ(Winapi::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ExpectFailure(capture, Winapi::GetLastError(),
                  "[Winapi::OpenFileMapping] OpenFileMappingW(\"h3-no-such-mapping\"): ");

    capture.Clear();
    EXPECT_EQ(Winapi::OpenFileMapping(nullptr, FILE_MAP_READ, false), nullptr);
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::OpenFileMapping] OpenFileMappingW(\"\"): ");

    capture.Clear();
    EXPECT_EQ(Winapi::MapViewOfFile(nullptr, FILE_MAP_READ, 0, 0), nullptr);
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::MapViewOfFile] MapViewOfFile(0000000000000000, 0:0): ");

    CloseHandle(mapping);
    CloseHandle(created);
}

TEST_F(Wrappers, VirtualQuery) {
    static int local;
    MEMORY_BASIC_INFORMATION info{};
    const SIZE_T size = Winapi::VirtualQuery(&local, &info);
    EXPECT_EQ(size, sizeof(info));
    EXPECT_GT(info.RegionSize, 0u);
    ExpectOk(capture, "[Winapi::VirtualQuery] VirtualQuery(0x" + Hex16(&local) +
                          "): ok, " + std::to_string(static_cast<unsigned long long>(info.RegionSize)));

    capture.Clear();
    const auto kernel = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(0xFFFFFFFFFFFF0000ull));
    EXPECT_EQ(Winapi::VirtualQuery(kernel, &info), 0u);
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::VirtualQuery] VirtualQuery(0x00000000FFFF0000): ");

    // No output record: the length passed is 0 and Windows refuses.
    capture.Clear();
    EXPECT_EQ(Winapi::VirtualQuery(&local, nullptr), 0u);
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::VirtualQuery] VirtualQuery(0x" + Hex16(&local) + "): ");
}

TEST_F(Wrappers, CreateEvent) {
    HANDLE manual = Winapi::CreateEvent(true, true);
    ASSERT_NE(manual, nullptr);
    ExpectOk(capture, "[Winapi::CreateEvent] CreateEventW(): ok, " + Hex16(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);

    HANDLE automatic = Winapi::CreateEvent(false, true);
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    HANDLE clear = Winapi::CreateEvent(true, false);
    EXPECT_EQ(WaitForSingleObject(clear, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    for (HANDLE event : {manual, automatic, clear}) CloseHandle(event);
}

TEST(ServiceWrappers, StateNames) {
    EXPECT_EQ(Winapi::Service::StateName(SERVICE_STOPPED), L"STOPPED");
    EXPECT_EQ(Winapi::Service::StateName(SERVICE_START_PENDING), L"START_PENDING");
    EXPECT_EQ(Winapi::Service::StateName(SERVICE_STOP_PENDING), L"STOP_PENDING");
    EXPECT_EQ(Winapi::Service::StateName(SERVICE_RUNNING), L"RUNNING");
    EXPECT_EQ(Winapi::Service::StateName(SERVICE_CONTINUE_PENDING), L"CONTINUE_PENDING");
    EXPECT_EQ(Winapi::Service::StateName(SERVICE_PAUSE_PENDING), L"PAUSE_PENDING");
    EXPECT_EQ(Winapi::Service::StateName(SERVICE_PAUSED), L"PAUSED");
    EXPECT_EQ(Winapi::Service::StateName(0), L"0");
    EXPECT_EQ(Winapi::Service::StateName(8), L"8");
    EXPECT_EQ(Winapi::Service::StateName(4294967295u), L"4294967295");
}

TEST(ServiceWrappers, SetStatusWithoutAServiceFailsAndShowsTheState) {
    TraceCapture capture;
    for (const auto& [state, text] : {std::pair<DWORD, std::string>{4, "RUNNING"}, {0, "0"}, {8, "8"}}) {
        capture.Clear();
        SERVICE_STATUS status{};
        status.dwCurrentState = state;
        EXPECT_FALSE(Winapi::Service::SetStatus(nullptr, &status));
        ExpectFailure(capture, Winapi::GetLastError(),
                      "[Winapi::Service::SetStatus] SetServiceStatus(0000000000000000, " + text + "): ");
    }
}

TEST(ServiceWrappers, RegisterCtrlHandlerOutsideAService) {
    TraceCapture capture;
    EXPECT_EQ(Winapi::Service::RegisterCtrlHandler(L"h3-not-a-service", [](DWORD) {}), nullptr);
    ExpectFailure(capture, Winapi::GetLastError(),
                  "[Winapi::Service::RegisterCtrlHandler] RegisterServiceCtrlHandlerW(\"h3-not-a-service\"): ");
}

TEST(ServiceWrappers, StartCtrlDispatcherOutsideAService) {
    TraceCapture capture;
    wchar_t name[] = L"h3-not-a-service";
    const SERVICE_TABLE_ENTRYW table[] = {{name, [](DWORD, LPWSTR*) {}}, {nullptr, nullptr}};
    EXPECT_FALSE(Winapi::Service::StartCtrlDispatcher(table));
    ExpectFailure(capture, Winapi::GetLastError(),
                  "[Winapi::Service::StartCtrlDispatcher] StartServiceCtrlDispatcherW(): ");
}

}  // namespace

namespace {

// Null handles, names and records are handed to Windows; its refusal is
// logged like any other failure and nothing crashes.
TEST(BadInput, NullArgumentsAreLoggedFailures) {
    TraceCapture capture;
    EXPECT_EQ(Winapi::Service::RegisterCtrlHandler(nullptr, nullptr), nullptr);
    ExpectFailure(capture, Winapi::GetLastError(),
                  "[Winapi::Service::RegisterCtrlHandler] RegisterServiceCtrlHandlerW(\"\"): ");

    capture.Clear();
    EXPECT_FALSE(Winapi::Service::SetStatus(nullptr, nullptr));
    ExpectFailure(capture, Winapi::GetLastError(),
                  "[Winapi::Service::SetStatus] SetServiceStatus(0000000000000000, ): ");

    capture.Clear();
    EXPECT_FALSE(Winapi::GetExitCodeProcess(nullptr, nullptr));
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::GetExitCodeProcess] GetExitCodeProcess(0000000000000000): ");

    capture.Clear();
    // Refused by the wrapper itself: Windows would read through the pointer.
    EXPECT_EQ(Winapi::WaitForMultipleObjects(2, nullptr, false, 0), WAIT_FAILED);
    EXPECT_EQ(Winapi::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ExpectFailure(capture, Winapi::GetLastError(), "[Winapi::WaitForMultipleObjects] WaitForMultipleObjects(2: {}): Fail, ");
}

}  // namespace
