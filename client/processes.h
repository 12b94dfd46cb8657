#pragma once
// Other diagctl processes: whether a channel that the service holds is still
// some diagctl's, or was left behind when its diagctl ended.
#include <windows.h>

namespace diagctl {

// The id of another running process whose executable has this program's
// file name (diagctl.exe), or 0 when there is none or the processes cannot
// be listed.
DWORD OtherProcessOfThisProgram();

}  // namespace diagctl
