#pragma once
// What a process holds, measured from outside: its handle count and its
// private bytes. GetProcessHandleCount answers 0 under Wine 8 and
// PrivateUsage is 0 there, so both are read another way that works on Wine
// and on Windows alike.
#include <windows.h>

#include <cstdint>

namespace robustness {

// Single owner of a kernel handle (null and INVALID_HANDLE_VALUE both mean
// none); closing keeps the thread's last-error value.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE value = nullptr) : m_Handle(value) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept : m_Handle(other.release()) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    HANDLE get() const { return m_Handle; }
    explicit operator bool() const { return m_Handle != nullptr && m_Handle != INVALID_HANDLE_VALUE; }
    [[nodiscard]] HANDLE release() {
        HANDLE h = m_Handle;
        m_Handle = nullptr;
        return h;
    }
    void reset(HANDLE value = nullptr) {
        if (*this) {
            DWORD error = ::GetLastError();
            ::CloseHandle(m_Handle);
            ::SetLastError(error);
        }
        m_Handle = value;
    }

private:
    HANDLE m_Handle;
};

// Handles the process holds, counted in the system handle table
// (NtQuerySystemInformation, SystemExtendedHandleInformation, falling back
// to SystemHandleInformation); -1 when the table cannot be read.
long CountProcessHandles(DWORD processId);

// Private bytes of the process: PrivateUsage, or PagefileUsage where the
// platform leaves PrivateUsage at 0 (Wine; on Windows the two are the same
// figure). -1 when the process cannot be queried. The handle needs
// PROCESS_QUERY_INFORMATION (or ..._LIMITED_...) and PROCESS_VM_READ.
std::int64_t PrivateBytes(HANDLE process);

}  // namespace robustness
