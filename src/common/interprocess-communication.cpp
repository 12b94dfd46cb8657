#include "common/interprocess-communication.h"

#include <utility>

#include "base/VqTrace.h"
#include "common/performance.h"
#include "common/winapi_wrappers.h"

namespace Common {

Event::~Event() {
    if (m_Handle) Winapi::CloseHandle(m_Handle);
}

HANDLE Event::Open(const wchar_t* name, DWORD desiredAccess) { return Winapi::OpenEvent(name, desiredAccess, false); }

Event& Event::operator=(HANDLE handle) {
    // The handle held before is left open: its owner may still use it.
    if (m_Handle) VqBase::GetTrace().TraceW(VqBase::TL_WARNING, L"[%s] m_Handle: NOT null", L"Common::Event::operator =");
    m_Handle = handle;
    return *this;
}

bool Event::Set() {
    if (!m_Handle) return false;
    return Winapi::SetEvent(m_Handle);
}

int Event::WaitFor(DWORD milliseconds) {
    performance::code_execution scope(L"Common::Event::WaitFor", false);
    // An empty object is not tested first: the wait itself fails and says so.
    switch (Winapi::WaitForSingleObject(m_Handle, milliseconds)) {
    case WAIT_OBJECT_0: return 0;
    case WAIT_TIMEOUT: return 1;
    default: return 2;
    }
}

int Event::Poll() {
    switch (Winapi::PollObject(m_Handle)) {
    case WAIT_OBJECT_0: return 0;
    case WAIT_TIMEOUT: return 1;
    default: return 2;
    }
}

}  // namespace Common

namespace auto_close {

handle::~handle() { close(); }

handle::handle(handle&& other) noexcept
    : m_None(other.m_None), m_Handle(std::exchange(other.m_Handle, other.m_None)) {}

handle& handle::operator=(handle&& other) noexcept {
    if (this != &other) {
        close();
        m_None = other.m_None;
        m_Handle = std::exchange(other.m_Handle, other.m_None);
    }
    return *this;
}

HANDLE handle::release() noexcept { return std::exchange(m_Handle, m_None); }

void handle::close() {
    if (m_Handle != m_None) Winapi::CloseHandle(m_Handle);
    m_Handle = m_None;
}

}  // namespace auto_close
