#pragma once
// The words of the trace verbs for the bits of the trace's masks: levels,
// sinks and fields, read from a list and named in one. No registry here.
#include <windows.h>

#include <optional>
#include <string>

namespace diagctl {

// One group of named bits of a mask.
enum class TraceWords { Levels, Sinks, Fields };

// Every bit the group names.
DWORD TraceWordBits(TraceWords group);

// "info,warning,error" as bits; "none" is 0. Nullopt, with error, for an
// empty list or a word the group does not have.
std::optional<DWORD> ParseTraceWords(TraceWords group, const std::wstring& list, std::wstring& error);

// The group's bits of mask as a list ParseTraceWords takes ("none" for
// none).
std::wstring TraceWordList(TraceWords group, DWORD mask);

// "on" and "off".
std::optional<bool> ParseOnOff(const std::wstring& text);

}  // namespace diagctl
