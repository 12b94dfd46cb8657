// The least a service executable does: registers its handler, reports
// RUNNING at once and STOPPED at the first STOP. The baseline of the start
// benchmark: what the service control manager and a process start cost.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE g_Handle = nullptr;
SERVICE_STATUS g_Status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};

void WINAPI Handler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP) return;
    g_Status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(g_Handle, &g_Status);
}

void WINAPI Main(DWORD, LPWSTR* argv) {
    g_Handle = RegisterServiceCtrlHandlerW(argv[0], Handler);
    g_Status.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(g_Handle, &g_Status);
}

}  // namespace

int wmain() {
    wchar_t name[] = L"ReRiruRuvazor";
    const SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
