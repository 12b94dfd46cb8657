#pragma once
// What the file sink will do with a log file whose directory it would hold,
// judged as it judges, creating, emptying and moving nothing: the verdict
// that diagctl trace check gives before a start. A locked or foreign common
// file, a plant that cannot be moved aside and a blocked rotation each send
// the lines to a fallback file, and the verdict says so.
#include <windows.h>

#include <string>

#include "base/VqLogFile.h"

namespace VqBase {

struct LogSinkVerdict {
    enum Action { Write, Fallback };
    Action Do = Write;
    // "the service will write to FILE" and what it does first, or why it
    // will not and where its lines go instead.
    std::wstring Text;
};

// The verdict on the file of target (held, with its directory existing) as
// rules have it, bound the configured size bound (0: none).
LogSinkVerdict JudgeLogSink(const CLogTarget& target, const LogFileRules& rules, DWORD bound);

}  // namespace VqBase
