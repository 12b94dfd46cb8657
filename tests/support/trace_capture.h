#pragma once
// Turns the process trace on for the lifetime of the object and keeps every
// record it writes, so that tests can check lines and levels.
#include "base/VqTrace.h"

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

struct TraceRecord {
    DWORD level;
    std::string text;  // the record without its CR LF
};

class TraceCapture : public VqBase::ITraceRecordSink {
public:
    // A low-byte parameter bit that selects no sink keeps the trace enabled
    // while nothing but this capture receives the records.
    static constexpr DWORD kCaptureOnly = 0x02;

    explicit TraceCapture(DWORD enableMask = VqBase::TL_INFO | VqBase::TL_WARNING | VqBase::TL_ERROR | VqBase::TL_BREAK,
                          DWORD paramsMask = kCaptureOnly);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    void OnRecord(DWORD level, const char* record, size_t size) override;

    std::vector<TraceRecord> Records() const;
    std::vector<std::string> Lines() const;
    void Clear();
    size_t Count() const;
    // Number of records whose text contains the fragment (at any level when
    // level is 0).
    size_t CountContaining(std::string_view fragment, DWORD level = 0) const;
    bool Contains(std::string_view fragment, DWORD level = 0) const { return CountContaining(fragment, level) > 0; }
    // All records joined by "\n", for failure messages.
    std::string Dump() const;

private:
    mutable std::mutex m_Lock;
    std::vector<TraceRecord> m_Records;
};

}  // namespace testing_support
