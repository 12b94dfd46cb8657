// A service that ends its process as soon as it has reported STOPPED, from
// inside its control handler: the system allows that once STOPPED is
// reported, and the controller's answer then never comes back.
#include <windows.h>

namespace {

wchar_t g_Name[] = L"ReRiruRuvazor";
SERVICE_STATUS_HANDLE g_Handle = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    ::SetServiceStatus(g_Handle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    if (control != SERVICE_CONTROL_STOP) return NO_ERROR;
    Report(SERVICE_STOPPED);
    ::ExitProcess(0);
}

void WINAPI Main(DWORD, wchar_t**) {
    g_Handle = ::RegisterServiceCtrlHandlerExW(g_Name, Handler, nullptr);
    if (g_Handle) Report(SERVICE_RUNNING);
}

}  // namespace

int wmain() {
    const SERVICE_TABLE_ENTRYW table[] = {{g_Name, Main}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(::GetLastError());
}
