#pragma once
// The trace's console sink. (The debugger sink is one call and the file
// sink is the log file unit.)
#include <windows.h>

#include <cstddef>

namespace VqBase {

// The console the records are written to, and whether the trace allocated it.
struct CTraceConsole {
    HANDLE m_hOutput = nullptr;
    bool m_Allocated = false;
    // False when the standard output is a file or a pipe, which WriteConsoleA
    // refuses; such records go out by WriteFile instead.
    bool m_IsConsole = true;

    bool IsValid() const { return m_hOutput != nullptr && m_hOutput != INVALID_HANDLE_VALUE; }
    // Allocates a console when there is none and titles it.
    void Open(const wchar_t* title);
    // Frees the console if the trace allocated it and forgets the handle.
    void Release();
    void Write(const char* record, size_t size) const;
};

}  // namespace VqBase
