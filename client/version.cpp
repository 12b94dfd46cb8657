#include "version.h"

// The build passes the project's version number; a build without it is not
// a build of the product.
#ifndef VQ_VERSION
#error "VQ_VERSION, the project version MAJOR.MINOR.PATCH, is not defined"
#endif

namespace diagctl {

std::wstring OwnVersion() { return L"" VQ_VERSION; }

}  // namespace diagctl
