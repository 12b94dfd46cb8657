#pragma once
// Keeps the calling thread's last-error value across a scope: the trace, the
// scope timer and the logged wrappers must hand the caller the code that its
// own call left, whatever their own work in between did to it.
#include <windows.h>

namespace VqBase {

class LastErrorKeeper {
public:
    LastErrorKeeper() : m_Error(::GetLastError()) {}
    ~LastErrorKeeper() { ::SetLastError(m_Error); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

    DWORD Error() const { return m_Error; }

private:
    DWORD m_Error;
};

}  // namespace VqBase
