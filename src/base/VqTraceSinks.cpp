// The trace's console sink.
#include "base/VqTraceSinks.h"

namespace VqBase {

void CTraceConsole::Open(const wchar_t* title) {
    if (!IsValid()) {
        // A process that has a console keeps it: AllocConsole then fails and
        // the records go to its standard output.
        if (::AllocConsole()) m_Allocated = true;
        m_hOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    }
    if (IsValid()) {
        DWORD mode = 0;
        m_IsConsole = ::GetConsoleMode(m_hOutput, &mode) != FALSE;
        ::SetConsoleTitleW(title);
    }
}

void CTraceConsole::Release() {
    if (m_Allocated) ::FreeConsole();
    m_Allocated = false;
    m_hOutput = nullptr;
    m_IsConsole = true;
}

void CTraceConsole::Write(const char* record, size_t size) const {
    if (!IsValid()) return;
    DWORD written = 0;
    if (m_IsConsole)
        ::WriteConsoleA(m_hOutput, record, static_cast<DWORD>(size), &written, nullptr);
    else
        ::WriteFile(m_hOutput, record, static_cast<DWORD>(size), &written, nullptr);
}

}  // namespace VqBase
