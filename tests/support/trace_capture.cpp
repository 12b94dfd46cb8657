#include "trace_capture.h"

namespace testing_support {

TraceCapture::TraceCapture(DWORD enableMask, DWORD paramsMask) {
    auto* impl = VqBase::GetTrace().Impl();
    if (!impl) return;
    impl->SetRecordSink(this);
    impl->m_Config.Publish(enableMask, paramsMask, 0, 0xFFFFFFFF);
}

TraceCapture::~TraceCapture() {
    auto* impl = VqBase::GetTrace().Impl();
    if (!impl) return;
    impl->m_Config.Publish(0, 0, 0, 0xFFFFFFFF);
    impl->SetRecordSink(nullptr);
}

void TraceCapture::OnRecord(DWORD level, const char* record, size_t size) {
    std::string text(record, size);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Records.push_back({level, std::move(text)});
}

std::vector<TraceRecord> TraceCapture::Records() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Records;
}

std::vector<std::string> TraceCapture::Lines() const {
    std::vector<std::string> lines;
    for (const auto& r : Records()) lines.push_back(r.text);
    return lines;
}

void TraceCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Records.clear();
}

size_t TraceCapture::Count() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Records.size();
}

size_t TraceCapture::CountContaining(std::string_view fragment, DWORD level) const {
    std::lock_guard<std::mutex> lock(m_Lock);
    size_t n = 0;
    for (const auto& r : m_Records)
        if ((level == 0 || r.level == level) && r.text.find(fragment) != std::string::npos) ++n;
    return n;
}

std::string TraceCapture::Dump() const {
    std::string all;
    for (const auto& r : Records()) all += std::to_string(r.level) + ": " + r.text + "\n";
    return all;
}

}  // namespace testing_support
