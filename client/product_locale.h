#pragma once
// locale show and locale set: the product language ("ProductLocale"), which
// every program of the product reads once, at its start, for its error
// texts.
#include <string>

#include "cmdline.h"

namespace diagctl {

bool IsLocaleVerb(const std::wstring& verb);
int RunLocaleVerb(const CommandLine& line);

}  // namespace diagctl
