#pragma once
// The readable form of the service's status and configuration. No service
// handles here: the caller gathers the facts.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "json.h"

namespace diagctl {

struct ServiceFacts {
    DWORD State = 0;
    DWORD Win32ExitCode = 0;
    DWORD ServiceExitCode = 0;
    std::wstring Win32ExitText;    // empty: no text
    std::wstring ServiceExitText;  // empty: no text
    DWORD ProcessId = 0;           // 0: no process
    bool HasConfig = false;        // the four below are filled
    DWORD StartType = 0;
    std::wstring ImagePath;
    std::wstring DisplayName;
    // What the service control manager keeps of the service's security:
    // the privileges it leaves in the service's token and the type of its
    // service SID. nullopt: the platform keeps none (Wine's manager answers
    // both queries with 124, ERROR_INVALID_LEVEL).
    std::optional<std::vector<std::wstring>> RequiredPrivileges;
    std::optional<DWORD> ServiceSidType;
};

// What a code of a stopped service's pair means when no message table has a
// text for it (0xFFFFFFFF, or 668 under Wine): in words, never "no text".
std::wstring ExitCodeWords(DWORD code, bool serviceSpecific);

// What the pair of exit codes of a stopped service says of its last run, as
// OPERATING.md's table of exit codes has it.
std::wstring ExitPairMeaning(DWORD win32ExitCode, DWORD serviceExitCode);

// status's exit code: 0 while the service is not stopped, or stopped after
// a clean run (0 and 0) or no run since it was installed (1077 and 0);
// kExitStoppedAfterFailure for any other pair.
int StatusExitCode(const ServiceFacts& facts);

// "demand", "automatic", ...
std::wstring StartTypeName(DWORD startType);
// "none", "unrestricted", "restricted"; else the number.
std::wstring ServiceSidTypeName(DWORD type);

// An image path without quotes whose program part holds a blank is read by
// Windows one blank at a time ("C:\Program.exe" before "C:\Program
// Files\..."), so whoever may write such a shorter path runs as the service:
// the unquoted service path weakness. Returns the first program Windows would
// try instead; empty when the path is quoted or its program holds no blank.
std::wstring UnquotedPathHijack(const std::wstring& imagePath);

// The first line: "<service>: STATE, win32 exit code N, service exit code N
// (0x...)"; then one line per exit code with its text, the process id while
// there is one and, with a configuration, the start type, the image path
// (with a warning when it is unquoted and holds a blank), the display
// name, the required privileges and the service SID type (or that the
// platform keeps neither).
std::wstring FormatStatus(const std::wstring& service, const ServiceFacts& facts);

// The same as one JSON object of the kind "status" (docs/diagctl.schema.json).
JsonObject StatusJson(const std::wstring& service, const ServiceFacts& facts);

}  // namespace diagctl
