#pragma once
// trace check: the service's own judgement of the configured log file's
// directories and file, made without creating anything.
#include <string>

#include "base/VqTraceConfig.h"
#include "diagproto.h"
#include "json.h"

namespace diagctl {

// trace check's code when the service would refuse the log file.
inline constexpr int kExitLogRefused = diagproto::kOwnExitCodeBit | 6;

// What the service will do with its log file.
struct LogVerdict {
    bool Writes = false;
    // It writes, but not into the file: a locked or another's common file,
    // a held plant or a blocked rotation sends its lines to a fallback file.
    bool Fallback = false;
    std::wstring File;
    std::wstring Reason;   // why it refuses the file
    std::wstring Creates;  // the first missing directory, which it will create
    std::wstring Sink;     // the file sink's own words on an existing file
};

LogVerdict JudgeLog(const VqBase::TraceSettings& settings);
// "the service will write to FILE ...", "... will not write to FILE: ...;
// its lines go to ..." or "the service will refuse FILE: REASON".
std::wstring VerdictText(const LogVerdict& verdict);

// The verdict on the log file of settings as text: false when the service
// will refuse it.
bool JudgeLogFile(const VqBase::TraceSettings& settings, std::wstring& verdict);

// trace check's whole answer on the registry's configuration: the text, one
// JSON object of the kind "traceCheck", and the exit code.
struct TraceCheck {
    std::wstring Text;
    JsonObject Json;
    int ExitCode = 0;
};
TraceCheck CheckTrace();

int RunTraceCheck(bool json);

}  // namespace diagctl
