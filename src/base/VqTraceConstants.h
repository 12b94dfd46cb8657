#pragma once
// The trace's levels, parameter bits and path limit: what every trace unit,
// the log path's included, shares, kept apart so that no lower unit has to
// include the trace itself.
#include <windows.h>

#include <cstddef>

namespace VqBase {

// Trace levels: one bit each.
enum : DWORD {
    TL_INFO = 2,
    TL_WARNING = 4,
    TL_ERROR = 8,
    TL_BREAK = 16,
};

// Bits of the parameters mask: sinks and record fields.
enum : DWORD {
    TP_FILE = 0x0001,
    TP_DEBUGGER = 0x0008,
    TP_CONSOLE = 0x0010,
    TP_APPEND = 0x0100,
    TP_MSEC = 0x0400,
    TP_THREAD = 0x0800,
    TP_TIME = 0x1000,
    TP_DATE = 0x2000,
    TP_SESSION = 0x4000,
    TP_NAME = 0x8000,
};

// Registry strings, environment values and log paths are read into buffers of
// this many wide characters (terminator included).
inline constexpr size_t kTracePathChars = 520;

// The longest path the system has, with its terminator: a buffer that a
// system call fills with a path (a final path, a module path) is let grow
// to this many wide characters.
inline constexpr size_t kLongestPathChars = 32768;

}  // namespace VqBase
