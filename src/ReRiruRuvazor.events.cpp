// The service's entries in the Application event log: what it refused or
// could not do, with what an administrator needs to act on it, and never
// the bytes of a request.
#include "ReRiruRuvazor.h"

#include "VqErrorCodes.h"
#include "base/VqAccessList.h"
#include "base/VqError.h"
#include "base/VqTrace.h"
#include "common/string.h"

namespace {

std::wstring ErrorOf(DWORD error) { return L"E(" + VqBase::HexText(error) + L") " + VqBase::GetErrorText(error); }

VqBase::CEventLog& EventLog() { return VqBase::GetTrace().Events(); }

}  // namespace

void DiagService::Report::ChannelMissing(const wchar_t* name, DWORD error) {
    const std::wstring object = name ? name : L"(null)";
    EventLog().Report(VqMessages::VQ_EVENT_CHANNEL_MISSING, object, {object, ErrorOf(error)});
}

void DiagService::Report::ChannelRefused(const std::wstring& name, const void* owner, const std::wstring& reason) {
    const auto* sid = static_cast<const BYTE*>(owner);
    // The owner is whom the entry concerns: Event Viewer shows it as the
    // user, and collectors filter on it.
    std::vector<BYTE> user;
    if (sid) user.assign(sid, sid + VqBase::SidLength(sid));
    EventLog().Report(VqMessages::VQ_EVENT_CHANNEL_REFUSED, name,
                    {name, sid ? VqBase::SidText(sid) : L"nobody", reason}, user);
}

void DiagService::Report::StartParametersRefused(DWORD argc, LPWSTR* argv) {
    std::wstring given;
    for (DWORD i = 1; argv != nullptr && i < argc && given.size() < 200; ++i)
        given += (given.empty() ? L"\"" : L", \"") + string::escape_controls(argv[i] ? argv[i] : L"") + L"\"";
    EventLog().Report(VqMessages::VQ_EVENT_START_PARAMETERS_REFUSED, {},
                    {std::to_wstring(argc > 0 ? argc - 1 : 0), given.empty() ? L"none" : given});
}

void DiagService::Report::RequestRefused(std::int32_t workType, std::int32_t size) {
    EventLog().Report(VqMessages::VQ_EVENT_REQUEST_REFUSED, {}, {std::to_wstring(workType), std::to_wstring(size)});
}

void DiagService::Report::SignalDuringRequest(std::int32_t workType) {
    EventLog().Report(VqMessages::VQ_EVENT_SIGNAL_DURING_REQUEST, {}, {std::to_wstring(workType)});
}

void DiagService::Report::RefusedRequestCount() {
    const unsigned count = EventLog().Occurrences(VqMessages::VQ_EVENT_REQUEST_REFUSED) +
                           EventLog().Occurrences(VqMessages::VQ_EVENT_SIGNAL_DURING_REQUEST);
    if (count > 1) EventLog().Report(VqMessages::VQ_EVENT_REQUESTS_REFUSED_COUNT, {}, {std::to_wstring(count)});
}

void DiagService::Report::RegExeNotStarted(const wchar_t* key, DWORD error) {
    // The reply carries the start's error as the pair's exit code.
    EventLog().Report(VqMessages::VQ_EVENT_REG_EXE_NOT_STARTED, {},
                    {SystemRegExe(), string::escape_controls(key ? key : L""), ErrorOf(error), std::to_wstring(error)});
}

void DiagService::Report::RegExeNotContained(const wchar_t* key, DWORD error) {
    EventLog().Report(VqMessages::VQ_EVENT_REG_EXE_NOT_CONTAINED, {},
                      {SystemRegExe(), string::escape_controls(key ? key : L""), ErrorOf(error)});
}

void DiagService::Report::PrivilegesNotRemoved(const std::wstring& step, DWORD error) {
    EventLog().Report(VqMessages::VQ_EVENT_PRIVILEGES_NOT_REMOVED, {}, {step, ErrorOf(error)});
}
