#pragma once
// diagctl's version, the product's version number.
#include <string>

namespace diagctl {

// "1.2.3": this program's version.
std::wstring OwnVersion();

}  // namespace diagctl
