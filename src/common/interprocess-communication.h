#pragma once
// Single owners of an event handle and of any other kernel handle.
#include <windows.h>

namespace Common {

class Event {
public:
    explicit Event(HANDLE handle = nullptr) : m_Handle(handle) {}
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    static HANDLE Open(const wchar_t* name, DWORD desiredAccess);

    // Takes the handle; warns when one is held already (that one stays open).
    Event& operator=(HANDLE handle);

    HANDLE Handle() const { return m_Handle; }
    explicit operator bool() const { return m_Handle != nullptr; }

    bool Set();
    // 0 signalled, 1 timed out, 2 failed.
    int WaitFor(DWORD milliseconds);
    // Takes a signal that is already pending, without waiting and without the
    // wait's trace lines: 0 taken, 1 none pending, 2 failed (traced).
    int Poll();

private:
    HANDLE m_Handle;
};

}  // namespace Common

namespace auto_close {

class handle {
public:
    handle(HANDLE value, HANDLE none) : m_None(none), m_Handle(value ? value : none) {}
    ~handle();
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    // Moving hands the handle over; the source is left holding none.
    handle(handle&& other) noexcept;
    handle& operator=(handle&& other) noexcept;

    HANDLE get() const { return m_Handle; }
    // Gives the handle up without closing it; the owner then holds none.
    [[nodiscard]] HANDLE release() noexcept;

private:
    void close();

    HANDLE m_None;
    HANDLE m_Handle;
};

}  // namespace auto_close
