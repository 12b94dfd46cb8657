#pragma once
// The service's entries in the Application event log, read through the
// event log API, for collect.
#include <windows.h>

#include <string>

namespace diagctl {

struct ServiceEvents {
    std::wstring Text;  // one paragraph per entry, newest first
    size_t Count = 0;
    // 0, or why the log could not be read.
    DWORD Error = 0;
    // False where the platform keeps no event log (Wine: every read finds
    // no more entries), so that an empty log is not taken for a quiet service.
    bool Kept = true;
};

// At most limit entries of the source ReRiruRuvazor, each with its time
// (UTC), level, event ID and text from the message module beside diagctl.
ServiceEvents ReadServiceEvents(size_t limit);

}  // namespace diagctl
