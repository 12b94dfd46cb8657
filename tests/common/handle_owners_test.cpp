#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/interprocess-communication.h"
#include "common/winapi_wrappers.h"
#include "expect_helpers.h"
#include "trace_capture.h"

using common_tests::Hex16;
using testing_support::TraceCapture;

namespace {

std::string CloseLine(HANDLE handle) { return "[Winapi::CloseHandle] CloseHandle(" + Hex16(handle) + "): ok"; }

HANDLE NewEvent(bool signalled = false) { return CreateEventW(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr); }

// True while the handle still refers to an open object of this process.
bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(EventOwner, SetOnAnEmptyEventDoesNothing) {
    TraceCapture capture;
    Common::Event event;
    Winapi::SetLastError(0x4321);
    EXPECT_FALSE(event.Set());
    EXPECT_EQ(Winapi::GetLastError(), 0x4321u);
    EXPECT_EQ(capture.Count(), 0u) << capture.Dump();
}

TEST(EventOwner, SetSignalsTheOwnedEvent) {
    HANDLE handle = NewEvent();
    TraceCapture capture;
    {
        Common::Event event(handle);
        EXPECT_TRUE(event.Set());
        EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    }
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"[Winapi::SetEvent] SetEvent(" + Hex16(handle) + "): ok",
                                                          CloseLine(handle)}));
}

TEST(EventOwner, WaitForAClearEventTimesOut) {
    HANDLE handle = NewEvent();
    Common::Event event(handle);
    TraceCapture capture;
    EXPECT_EQ(event.WaitFor(0), 1);
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{
                  "[Common::Event::WaitFor] <<",
                  "[Winapi::WaitForSingleObject] WaitForSingleObject(" + Hex16(handle) + "): Timeout (0 msec)",
                  "[Common::Event::WaitFor] >>"}));
}

TEST(EventOwner, WaitForASignalledEvent) {
    Common::Event event(NewEvent(true));
    TraceCapture capture;
    EXPECT_EQ(event.WaitFor(INFINITE), 0);
    ASSERT_EQ(capture.Count(), 3u) << capture.Dump();
    EXPECT_EQ(capture.Lines()[1],
              "[Winapi::WaitForSingleObject] WaitForSingleObject(" + Hex16(event.Handle()) + "): Object");
}

TEST(EventOwner, WaitOnAnEmptyEventFails) {
    TraceCapture capture;
    {
        Common::Event event;
        EXPECT_EQ(event.WaitFor(0), 2);
        EXPECT_EQ(Winapi::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 3u) << capture.Dump();
    EXPECT_EQ(records[1].level, VqBase::TL_ERROR);
    EXPECT_EQ(records[1].text,
              "E> [Winapi::WaitForSingleObject] WaitForSingleObject(0000000000000000): Fail, E(00000006)");
    EXPECT_EQ(records[2].text, "[Common::Event::WaitFor] >>");
}

TEST(EventOwner, WaitOnAnAbandonedObjectCountsAsFailure) {
    // The owner treats any waitable handle alike; a mutex whose owning thread
    // ended without releasing it answers WAIT_ABANDONED.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    std::thread([mutex] { WaitForSingleObject(mutex, INFINITE); }).join();

    Common::Event event(mutex);
    EXPECT_EQ(event.WaitFor(1000), 2);
    ReleaseMutex(mutex);
}

TEST(EventOwner, OpenByName) {
    const std::wstring name = L"h3-owner-event-" + std::to_wstring(GetCurrentProcessId());
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    TraceCapture capture;
    {
        Common::Event event;
        event = Common::Event::Open(name.c_str(), SYNCHRONIZE);
        ASSERT_NE(event.Handle(), nullptr);
        EXPECT_TRUE(static_cast<bool>(event));
        EXPECT_EQ(capture.CountContaining("[Winapi::OpenEvent] OpenEventW(", VqBase::TL_INFO), 1u);
        // Not inheritable.
        DWORD flags = 0;
        ASSERT_TRUE(GetHandleInformation(event.Handle(), &flags));
        EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    }
    EXPECT_EQ(Common::Event::Open(L"h3-owner-missing", SYNCHRONIZE), nullptr);
    EXPECT_EQ(Winapi::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(capture.CountContaining("OpenEventW(\"h3-owner-missing\"): E(00000002)", VqBase::TL_ERROR), 1u);
    CloseHandle(created);
}

TEST(EventOwner, ReassignmentWarnsOnceAndClosesOnlyTheNewHandle) {
    HANDLE first = NewEvent();
    HANDLE second = NewEvent();
    TraceCapture capture;
    {
        Common::Event event;
        event = first;
        EXPECT_EQ(capture.Count(), 0u) << capture.Dump();
        event = second;
        EXPECT_EQ(event.Handle(), second);
    }
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 2u) << capture.Dump();
    EXPECT_EQ(records[0].level, VqBase::TL_WARNING);
    EXPECT_EQ(records[0].text, "W> [Common::Event::operator =] m_Handle: NOT null");
    EXPECT_EQ(records[1].text, CloseLine(second));
    EXPECT_TRUE(IsOpen(first));
    EXPECT_FALSE(IsOpen(second));
    CloseHandle(first);
}

TEST(EventOwner, AnOwnerWithoutAHandleClosesNothing) {
    TraceCapture capture;
    { Common::Event event; }
    { Common::Event event(nullptr); }
    EXPECT_EQ(capture.Count(), 0u) << capture.Dump();
}

TEST(HandleOwner, ClosesItsHandleOnceThroughTheWrapper) {
    HANDLE handle = NewEvent();
    TraceCapture capture;
    {
        auto_close::handle owner(handle, nullptr);
        EXPECT_EQ(owner.get(), handle);
    }
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{CloseLine(handle)}));
    EXPECT_FALSE(IsOpen(handle));
}

TEST(HandleOwner, NullOrNoneIsNeverClosed) {
    TraceCapture capture;
    {
        auto_close::handle nullProcess(nullptr, nullptr);
        EXPECT_EQ(nullProcess.get(), nullptr);
        // A null value stands for none of its kind.
        auto_close::handle nullFile(nullptr, INVALID_HANDLE_VALUE);
        EXPECT_EQ(nullFile.get(), INVALID_HANDLE_VALUE);
        auto_close::handle noneFile(INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(capture.Count(), 0u) << capture.Dump();
}

TEST(HandleOwner, MovesHandTheHandleOver) {
    HANDLE handles[3] = {NewEvent(), NewEvent(), NewEvent()};
    TraceCapture capture;
    {
        std::vector<auto_close::handle> owners;
        for (HANDLE handle : handles) owners.emplace_back(handle, nullptr);  // grows and moves
        EXPECT_EQ(capture.Count(), 0u) << capture.Dump();

        auto_close::handle taken(std::move(owners[0]));
        EXPECT_EQ(taken.get(), handles[0]);
        EXPECT_EQ(owners[0].get(), nullptr);

        // Assigning over an owner closes what it held.
        owners[1] = std::move(taken);
        EXPECT_EQ(taken.get(), nullptr);
        EXPECT_EQ(owners[1].get(), handles[0]);
        EXPECT_EQ(capture.Lines(), (std::vector<std::string>{CloseLine(handles[1])}));
        capture.Clear();
    }
    // Each remaining handle is closed exactly once.
    EXPECT_EQ(capture.Count(), 2u) << capture.Dump();
    EXPECT_EQ(capture.CountContaining(CloseLine(handles[0])), 1u);
    EXPECT_EQ(capture.CountContaining(CloseLine(handles[2])), 1u);
    for (HANDLE handle : handles) EXPECT_FALSE(IsOpen(handle));
}

}  // namespace
