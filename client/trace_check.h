#pragma once
// trace check: the service's own judgement of the configured log file's
// directories and file, made without creating anything.
#include "base/VqTraceConfig.h"
#include "diagproto.h"

namespace diagctl {

// trace check's code when the service would refuse the log file.
inline constexpr int kExitLogRefused = diagproto::kOwnExitCodeBit | 6;

// The verdict on the log file of settings: true with "the service will
// write to FILE ..." or false with "the service will refuse FILE: REASON".
bool JudgeLogFile(const VqBase::TraceSettings& settings, std::wstring& verdict);

int RunTraceCheck();

}  // namespace diagctl
