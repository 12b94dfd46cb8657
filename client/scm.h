#pragma once
// diagctl's side of the service control manager: install, uninstall, start,
// stop, control, status and the session mode.
#include <string>
#include <vector>

namespace diagctl {

// True when verb is one of the service-control commands.
bool IsScmCommand(const std::wstring& verb);

// Runs one service-control command; args[0] is the verb. Returns the
// process exit code of diagctl.
int RunScmCommand(const std::vector<std::wstring>& args);

}  // namespace diagctl
