#pragma once
// The trace verbs: show, set and off of the service's trace configuration in
// the registry, check of its log file, and tail of the log.
#include <string>

#include "base/VqTraceConfig.h"
#include "cmdline.h"
#include "json.h"

namespace diagctl {

bool IsTraceVerb(const std::wstring& verb);
int RunTraceVerb(const CommandLine& line);

// "ReRiruRuvazor is not traced: ..." with its line end.
std::wstring NotTracedSentence();

// What trace show prints of settings, as text and as one JSON object of the
// kind "traceShow".
std::wstring DescribeTraceSettings(const VqBase::TraceSettings& settings);
JsonObject TraceSettingsJson(const VqBase::TraceSettings& settings);

// The MaxFileSize that trace set writes when none counts.
inline constexpr DWORD kDefaultMaxFileSize = 16u << 20;
// The fields that trace set writes with the first ParamsMask, unless it is
// given others: date, time, milliseconds, process and thread.
inline constexpr DWORD kDefaultFields = VqBase::TP_DATE | VqBase::TP_TIME | VqBase::TP_MSEC | VqBase::TP_THREAD;

}  // namespace diagctl
