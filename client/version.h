#pragma once
// diagctl's version, the product's version number.
#include <string>

namespace diagctl {

// "diagctl 1.2.3" and a line end.
std::wstring VersionText();

}  // namespace diagctl
