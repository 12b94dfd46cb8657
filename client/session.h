#pragma once
// The session mode: diagctl as the diagnostic tool works, from creating the
// channel to the service's end.
#include "cmdline.h"

namespace diagctl {

// Creates the channel, starts the service, runs each request, posts Quit
// and reports how the service ended; a request after which the service
// ends ends the session at once. Returns diagctl's exit code.
int RunSession(const CommandLine& line);

}  // namespace diagctl
