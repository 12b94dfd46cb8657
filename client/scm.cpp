// Placeholder until the service-control commands land.
#include "scm.h"

namespace diagctl {
bool IsScmCommand(const std::wstring&) { return false; }
int RunScmCommand(const std::vector<std::wstring>&) { return 2; }
}  // namespace diagctl
