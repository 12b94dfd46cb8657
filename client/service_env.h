#pragma once
// The environment the service manager gives the service, as far as the
// trace's default log directory is computed from it: diagctl names the file
// the service writes, not one under the operator's own %TEMP%.
#include <string>

namespace diagctl {

// Sets this process's Temp, Tmp and windir to the service's (removing those
// it lacks), so that the trace's own composition of the default directory
// (VqBase::GetTempDirectory) gives the service's. Empty when done, else why
// not: diagctl's own variables then stand. diagctl starts no program after
// it that could inherit them.
std::wstring AdoptServiceTempDirectory();

// Where the default directory comes from, in words.
std::wstring ServiceTempDirectoryOrigin();

// Whether diagctl runs under Wine (told by its ntdll), whose service manager
// and event log answer otherwise than Windows'.
bool RunsUnderWine();

}  // namespace diagctl
