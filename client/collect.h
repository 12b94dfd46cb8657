#pragma once
// collect: what a support case needs, gathered into one new directory that
// only LocalSystem and the Administrators may change or add to.
#include <windows.h>

#include <string>
#include <vector>

#include "cmdline.h"

namespace diagctl {

// The descriptor the directory is created with: owner the Administrators,
// a protected DACL (nothing inherited) of full control for LocalSystem and
// the Administrators, inherited by what is in it, and nothing for anyone
// else. Empty when it cannot be built (the reason in the last error).
std::vector<BYTE> CollectionSecurity();

// collect DIR; ownVersion is diagctl's. Returns diagctl's exit code: 0 when
// every piece was collected, kExitCollectIncomplete when some could not be.
int RunCollect(const CommandLine& line, const std::wstring& ownVersion);

}  // namespace diagctl
