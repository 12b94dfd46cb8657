// The process entry, the command line and the process's one service
// instance with the callbacks that reach it.
#include <windows.h>

#include <cstdlib>
#include <exception>
#include <map>

#include "ReRiruRuvazor.h"
#include "base/VqError.h"
#include "base/VqTrace.h"
#include "common/performance.h"
#include "common/string.h"
#include "common/winapi_wrappers.h"

using VqBase::GetTrace;
using VqBase::TL_ERROR;
using VqBase::TL_INFO;
using VqBase::TL_WARNING;

#if defined(VQ_TEST_STARTER)
// Test builds of the service only (tests/e2e): a stand-in for reg.exe. The
// product's executable has no such seam and always runs the system's reg.exe.
DiagService::ProcessStarter TestProcessStarter();
#endif

namespace {

DiagService::ProcessStarter BuildStarter() {
#if defined(VQ_TEST_STARTER)
    return TestProcessStarter();
#else
    return {};
#endif
}

// How long the main thread waits, after the dispatcher has returned, for the
// service thread to finish its last report before statics are destroyed.
constexpr DWORD kServiceThreadEndMs = 10000;

// Holds the instance so that an error raised while it is built (a channel
// object is missing) ends the process in order, with the error's code,
// instead of escaping static initialisation.
struct ServiceInstance {
    ServiceInstance() try : service(DiagService::ChannelNames{}, BuildStarter()) {
    } catch (VqBase::CVqError& error) {
        // The assertion has been traced; nothing else of the process has run.
        std::_Exit(static_cast<int>(error.GetCode()));
    } catch (...) {
        std::_Exit(ERROR_INTERNAL_ERROR);
    }

    DiagService service;
};

// Built after the counter frequency, which the common library initialises
// before every other static.
ServiceInstance g_Instance;

}  // namespace

DiagService& DiagService::Instance() { return g_Instance.service; }

void WINAPI DiagService::ServiceMain(DWORD argc, LPWSTR* argv) {
    Instance().Run(argc, argv, &DiagService::ControlHandler);
}

void WINAPI DiagService::ControlHandler(DWORD code) {
    // Called by the platform: nothing may leave it, and what reaches it is
    // traced as on the service thread.
    Guard(L"DiagService::ControlHandler", [code] { Instance().OnControl(code); });
}

bool DiagService::StartDispatcher() {
    performance::code_execution scope(L"DiagService::StartDispatcher", false);
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(kServiceName), &DiagService::ServiceMain},
        {nullptr, nullptr},
    };
    return Winapi::Service::StartCtrlDispatcher(table);
}

namespace app::args {

// 0 refuses the command line; 1 runs with no argument; the keywords map to
// 2 to 5, and each of them runs the service exactly as no argument does.
using srv_mode = unsigned;

srv_mode parse(unsigned count, wchar_t** args) {
    constexpr wchar_t kFunction[] = L"app::args::parse";
    if (count == 0) {
        GetTrace().TraceW(TL_INFO, L"[%s] srv_mode: 1 (init)", kFunction);
        return 1;
    }
    if (count > 1) {
        GetTrace().TraceW(TL_ERROR, L"[%s] arg_c: %u", kFunction, count);
        return 0;
    }
    if (args[0][0] == L'\0' || args[1] != nullptr) {
        GetTrace().TraceW(TL_ERROR, L"[%s] arg: %s, srv_mode: %u", kFunction, args[0], 0u);
        return 0;
    }
    const std::map<const wchar_t*, srv_mode, decltype(&string::greater)> keywords(
        {{L"create", 2}, {L"delete", 3}, {L"start", 4}, {L"stop", 5}}, &string::greater);
    const auto found = keywords.find(args[0]);
    if (found == keywords.end())
        return 0;
    GetTrace().TraceW(TL_INFO, L"[%s] arg: \"%s\", srv_mode: %u", kFunction, args[0], found->second);
    return found->second;
}

}  // namespace app::args

namespace {

int RunProcess(int argc, wchar_t** argv) {
    if (static_cast<unsigned>(argc) == 0 || !argv)
        VqBase::AssertionFailed(L"wmain", "(argc > 0) && argv", L"main", __LINE__);

    // Before anything else is loaded: DLLs only from System32 and the
    // program's directory, nothing injected through extension points.
    DiagService::Hardening::ApplyMitigations();

    const int exitCode = ERROR_BAD_ARGUMENTS;
    const app::args::srv_mode mode = app::args::parse(static_cast<unsigned>(argc - 1), argv + 1);
    if (mode == 0) {
        Winapi::SetLastError(ERROR_BAD_ARGUMENTS);
        return exitCode;
    }
    DiagService::StartDispatcher();
    if (!DiagService::Instance().WaitForServiceThread(kServiceThreadEndMs)) {
        // A stop while the service waited for work left its thread inside
        // the wait on the channel: the channel must outlive it, so the
        // process ends here without releasing anything itself.
        GetTrace().TraceW(TL_WARNING, L"[%s] Service thread still waiting: ending the process", L"wmain");
        std::_Exit(exitCode);
    }
    return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return RunProcess(argc, argv);
    } catch (VqBase::CVqError& error) {
        GetTrace().TraceW(TL_ERROR, L"[%s] %s", L"wmain", error.GetDump());
        return static_cast<int>(error.GetCode());
    } catch (const std::exception& error) {
        GetTrace().TraceW(TL_ERROR, L"[%s] %S", L"wmain", error.what());
        return ERROR_INTERNAL_ERROR;
    }
}
