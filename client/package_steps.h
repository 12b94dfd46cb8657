#pragma once
// The steps that the installer package runs with the diagctl.exe it carries,
// as verbs left out of the usage. Windows Installer's own stop step waits at
// most for the STOPPED report, never for the service's process, and Wine's
// returns at once: files still in use are then replaced only at a restart,
// or removed not at all.
#include <windows.h>

#include <string>

#include "cmdline.h"

namespace diagctl {

// How long a package waits, by default, for the service to stop and its
// process to end (the package's SERVICESTOPTIMEOUT property).
inline constexpr DWORD kPackageStopWaitMs = 30000;

// The program an image path names: the quoted part when it starts with a
// quote, else the whole path (Wine's msiexec stores it unquoted, blanks and
// all).
std::wstring ImageProgram(const std::wstring& imagePath);

bool IsPackageStep(const std::wstring& verb);
// package-stop, package-configure. Returns diagctl's exit code.
int RunPackageStep(const CommandLine& line);

}  // namespace diagctl
