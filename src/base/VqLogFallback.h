#pragma once
// Where the lines go when the configured log file cannot be written (a
// common file that another program holds locked or that another user owns,
// a plant that cannot be moved aside, a rotation that is blocked): a file
// the sink makes itself in the same held directory, under a name nobody can
// guess (FallbackFileName) and with FILE_CREATE, so that it is never one
// that someone else made. It is appended to and never emptied, bounded like
// the log: when a line would take it past the bound, the next generation is
// made and the one before the current one deleted, by its handle and only
// once its index shows that it is the file the sink made.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "base/VqLogFile.h"

namespace VqBase {

class CLogFallback {
public:
    // Writes record to the current fallback file of name in directory,
    // making the first one or the next generation as needed. made receives
    // the name of a file made for this record (empty: none). False with why
    // when no fallback file could be had.
    bool Write(HANDLE directory, const std::wstring& name, DWORD bound, const char* record, size_t size,
               std::wstring& made, std::wstring& why);
    // Makes the next Write begin a new fallback file (a new start); the
    // files made so far are kept.
    void Forget() { m_Current = {}; m_Previous = {}; }
    // The current fallback file's name, empty before the first.
    const std::wstring& Current() const { return m_Current.Name; }

private:
    struct Generation {
        std::wstring Name;
        LONGLONG Index = 0;
    };
    bool Make(HANDLE directory, const std::wstring& name, CTraceFile& file, std::wstring& why);
    void Delete(HANDLE directory, const Generation& generation) const;

    Generation m_Current;
    Generation m_Previous;
    std::atomic<LONGLONG> m_KnownIndex{0};
};

}  // namespace VqBase
