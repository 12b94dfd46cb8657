// A static initialised from a library that the linker places after the
// common library: whichever way a toolchain orders the ordinary initialisers
// of a program's units, this one or the test unit's own runs before the
// common library's would, so that only the early-initialisation mechanism
// keeps the counter frequency ready for both.
#include <cstdint>

#include "common/performance.h"

namespace {
const std::int64_t g_SeenLate = performance::counter_frequency();
}  // namespace

std::int64_t FrequencySeenByALateLinkedStatic() { return g_SeenLate; }
