#pragma once
// Other processes: whether a channel that the service holds is still some
// diagctl's, or was left behind when its diagctl ended; and the processes
// that still run the service's executable.
#include <windows.h>

#include <string>
#include <vector>

#include "base/VqOwners.h"

namespace diagctl {

// The id of another running process whose executable has this program's
// file name (diagctl.exe), or 0 when there is none or the processes cannot
// be listed.
DWORD OtherProcessOfThisProgram();

// A handle (SYNCHRONIZE, PROCESS_QUERY_LIMITED_INFORMATION and access) to
// each running process whose executable is exe (a full path, letter case
// aside). A process that has ended by the time it is opened is left out.
std::vector<VqBase::UniqueHandle> ProcessesRunning(const std::wstring& exe, DWORD access = 0);

}  // namespace diagctl
