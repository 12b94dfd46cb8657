// What the service writes to the Application event log, read through the
// event log's sink: Wine keeps no entries.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <new>
#include <thread>
#include <algorithm>

#include "ReRiruRuvazor.h"
#include "VqErrorCodes.h"
#include "base/VqAccessList.h"
#include "base/VqTrace.h"

namespace {
// Set, every allocation of this thread fails: what runs out of memory must
// not leave a lock behind.
thread_local bool t_FailAllocations = false;
}  // namespace

void* operator new(std::size_t size) {
    if (t_FailAllocations) throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

using namespace VqMessages;

// A channel of the test's own, so that a DiagService can be built.
struct OwnChannel {
    OwnChannel() {
        const std::wstring prefix = L"vq.events." + std::to_wstring(GetCurrentProcessId());
        Names = {prefix + L".Section", prefix + L".DoWork", prefix + L".WorkDone"};
        Objects[0] = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, Names.Section.c_str());
        Objects[1] = CreateEventW(nullptr, FALSE, FALSE, Names.DoWork.c_str());
        Objects[2] = CreateEventW(nullptr, FALSE, FALSE, Names.WorkDone.c_str());
    }
    ~OwnChannel() { std::for_each(std::begin(Objects), std::end(Objects), CloseHandle); }
    DiagService::ChannelNames Names;
    HANDLE Objects[3] = {};
};

// The English text of a product message with its insertion strings.
std::wstring EnglishText(DWORD id, const std::vector<std::wstring>& strings) {
    const HMODULE module = LoadLibraryExW(L"VqError.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    std::vector<DWORD_PTR> inserts;
    for (const std::wstring& text : strings) inserts.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
    wchar_t text[2048] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, 0x0409, text, 2048,
                   reinterpret_cast<va_list*>(inserts.data()));
    FreeLibrary(module);
    return text;
}

struct EventCapture : VqBase::IEventSink {
    EventCapture() { VqBase::GetTrace().Events().SetSink(this); }
    ~EventCapture() { VqBase::GetTrace().Events().SetSink(nullptr); }
    void OnEvent(const VqBase::EventRecord& event) override { events.push_back(event); }
    std::vector<VqBase::EventRecord> events;
};

}  // namespace

TEST(EventLog, OnePerKindAndObjectWithItsTypeAndACount) {
    VqBase::CEventLog log(L"ReRiruRuvazor-test");
    struct : VqBase::IEventSink {
        std::vector<VqBase::EventRecord> events;
        void OnEvent(const VqBase::EventRecord& event) override { events.push_back(event); }
    } sink;
    log.SetSink(&sink);
    SetLastError(1234);
    EXPECT_TRUE(log.Report(VQ_EVENT_CHANNEL_MISSING, L"a", {L"a", L"E(2)"}));
    EXPECT_EQ(GetLastError(), 1234u) << "the caller's error survives";
    EXPECT_FALSE(log.Report(VQ_EVENT_CHANNEL_MISSING, L"a", {L"a", L"E(2)"}));
    EXPECT_TRUE(log.Report(VQ_EVENT_CHANNEL_MISSING, L"b", {L"b", L"E(2)"}));
    for (int i = 0; i < 50; ++i) log.Report(VQ_EVENT_REQUEST_REFUSED, {}, {L"7", L"0"});
    ASSERT_EQ(sink.events.size(), 3u) << "a storm gives one entry";
    EXPECT_EQ(log.Occurrences(VQ_EVENT_REQUEST_REFUSED), 50u);
    EXPECT_EQ(sink.events[0].Type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(sink.events[2].Type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(VqBase::EventType(0x46000001), EVENTLOG_INFORMATION_TYPE);
    log.SetSink(nullptr);
}

TEST(EventLog, AReportThatRunsOutOfMemoryLeavesTheLogToOthers) {
    VqBase::CEventLog log(L"ReRiruRuvazor-test");
    const std::wstring object = L"Global\\AnObjectNameLongerThanAnyShortString";
    const std::vector<std::wstring> none;
    t_FailAllocations = true;
    const bool reported = log.Report(VQ_EVENT_CHANNEL_MISSING, object, none);
    t_FailAllocations = false;
    EXPECT_FALSE(reported);
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread other([&] {
        log.Report(VQ_EVENT_CHANNEL_MISSING, L"b", {L"b"});
        SetEvent(done);
    });
    const bool finished = WaitForSingleObject(done, 5000) == WAIT_OBJECT_0;
    EXPECT_TRUE(finished) << "another thread waits for the lock for ever";
    finished ? other.join() : other.detach();
    CloseHandle(done);
}

TEST(ServiceEvents, EachSaysWhatTheAdministratorMustKnow) {
    EventCapture capture;
    DiagService::Report::ChannelMissing(L"Global\\EventsTest.Section", ERROR_FILE_NOT_FOUND);
    DiagService::Report::ChannelMissing(L"Global\\EventsTest.Section", ERROR_FILE_NOT_FOUND);
    wchar_t name[] = L"ReRiruRuvazor", first[] = L"one", second[] = L"two\r\nlines";
    LPWSTR argv[] = {name, first, second};
    DiagService::Report::StartParametersRefused(3, argv);
    DiagService::Report::RegExeNotStarted(L"HKLM\\Software", ERROR_ACCESS_DENIED);
    DiagService::Report::RequestRefused(7, 4096);
    DiagService::Report::RefusedRequestCount();
    DiagService::Report::RequestRefused(7, 4096);
    DiagService::Report::RefusedRequestCount();

    ASSERT_EQ(capture.events.size(), 5u);
    EXPECT_EQ(capture.events[0].Id, VQ_EVENT_CHANNEL_MISSING);
    EXPECT_EQ(capture.events[0].Strings[0], L"Global\\EventsTest.Section");
    EXPECT_EQ(capture.events[0].Strings[1].find(L"E(00000002) "), 0u) << capture.events[0].Strings[1];
    EXPECT_EQ(capture.events[1].Id, VQ_EVENT_START_PARAMETERS_REFUSED);
    EXPECT_EQ(capture.events[1].Strings, (std::vector<std::wstring>{L"2", L"\"one\", \"two\\x0D\\x0Alines\""}));
    EXPECT_EQ(capture.events[2].Id, VQ_EVENT_REG_EXE_NOT_STARTED);
    EXPECT_NE(capture.events[2].Strings[0].find(L"\\reg.exe"), std::wstring::npos);
    EXPECT_EQ(capture.events[2].Strings[1], L"HKLM\\Software");
    // The entry gives the code that the reply carries for the pair: the start's error.
    ASSERT_EQ(capture.events[2].Strings.size(), 4u);
    EXPECT_EQ(capture.events[2].Strings[3], L"5");
    const std::wstring text = EnglishText(VQ_EVENT_REG_EXE_NOT_STARTED, capture.events[2].Strings);
    EXPECT_NE(text.find(L", 5, "), std::wstring::npos) << text;
    EXPECT_EQ(text.find(L"0xFFFFFFFF"), std::wstring::npos) << text;
    // Kind and size of a refused request, never its bytes; the count at stop.
    EXPECT_EQ(capture.events[3].Id, VQ_EVENT_REQUEST_REFUSED);
    EXPECT_EQ(capture.events[3].Strings, (std::vector<std::wstring>{L"7", L"4096"}));
    EXPECT_EQ(capture.events[4].Id, VQ_EVENT_REQUESTS_REFUSED_COUNT);
    EXPECT_EQ(capture.events[4].Strings, std::vector<std::wstring>{L"2"});
}

TEST(ServiceEvents, ARefusedChannelObjectNamesItsOwnerAsTheUser) {
    EventCapture capture;
    const BYTE users[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 0x02, 0, 0};  // S-1-5-32-545
    DiagService::Report::ChannelRefused(L"Global\\EventsTest.DoWork", users, L"owner S-1-5-32-545");
    ASSERT_EQ(capture.events.size(), 1u);
    EXPECT_EQ(capture.events[0].Type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(capture.events[0].Strings,
              (std::vector<std::wstring>{L"Global\\EventsTest.DoWork", L"S-1-5-32-545", L"owner S-1-5-32-545"}));
    EXPECT_EQ(capture.events[0].User, std::vector<BYTE>(std::begin(users), std::end(users)));
}

// A second do-work signal during a request: the request that was carried out
// was not refused, and the service cannot know whether the signal brought a
// request of its own.
TEST(ServiceEvents, ASignalDuringARequestIsReportedAsSuchNotAsARefusal) {
    OwnChannel channel;
    DiagService service(channel.Names);
    VqBase::CEventLog& log = VqBase::GetTrace().Events();
    const unsigned refused = log.Occurrences(VQ_EVENT_REQUEST_REFUSED);
    EventCapture capture;
    EXPECT_FALSE(service.TakeBackSignal(WorkItem{WorkType_ExportRegKeys, {24}}));
    SetEvent(channel.Objects[1]);
    EXPECT_TRUE(service.TakeBackSignal(WorkItem{WorkType_ExportRegKeys, {24}}));
    EXPECT_EQ(log.Occurrences(VQ_EVENT_REQUEST_REFUSED), refused);
    ASSERT_EQ(capture.events.size(), 1u);
    EXPECT_EQ(capture.events[0].Id, VQ_EVENT_SIGNAL_DURING_REQUEST);
    EXPECT_EQ(capture.events[0].Strings, std::vector<std::wstring>{L"1"});
}

// The control handler's stop while the service waits for work calls Stop and
// nothing else: the count belongs to every stop.
TEST(ServiceEvents, EveryStopReportsHowManyRequestsWereRefused) {
    OwnChannel channel;
    DiagService service(channel.Names);
    VqBase::CEventLog& log = VqBase::GetTrace().Events();
    DiagService::Report::RequestRefused(7, 0);
    DiagService::Report::RequestRefused(7, 0);
    const unsigned counted = log.Occurrences(VQ_EVENT_REQUESTS_REFUSED_COUNT);
    service.Stop(ExitCode{0, 0});
    EXPECT_EQ(log.Occurrences(VQ_EVENT_REQUESTS_REFUSED_COUNT), counted + 1);
}
