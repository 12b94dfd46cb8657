// Provisional trace implementation: facade, gate and the record sink only.
#include "base/VqTrace.h"

#include <cstdio>
#include <string>
#include <vector>

namespace VqBase {

namespace {
// Keeps the caller's last-error value across a trace operation.
class LastErrorGuard {
public:
    LastErrorGuard() : m_Error(::GetLastError()) {}
    ~LastErrorGuard() { ::SetLastError(m_Error); }

private:
    DWORD m_Error;
};
}  // namespace

CTraceConfig::CTraceConfig(std::wstring name, TraceLocation location)
    : m_Name(std::move(name)), m_Location(std::move(location)) {}

bool CTraceConfig::ReadConfig() { return false; }

void CTraceConfig::Publish(DWORD enable, DWORD params, DWORD common, DWORD context) {
    m_EnableMask.exchange(enable);
    m_ParamsMask.exchange(params);
    m_CommonFileFlag.exchange(common);
    m_ContextMask.exchange(context);
}

std::wstring GetTempDirectory() { return L"C:\\"; }

CTraceImpl::CTraceImpl(const wchar_t* name, TraceLocation location) : m_Config(name, std::move(location)) {
    m_Locale = _create_locale(LC_ALL, "Russian");
    Reload();
}

CTraceImpl::~CTraceImpl() {
    if (m_Locale) _free_locale(m_Locale);
}

bool CTraceImpl::Reload() {
    LastErrorGuard keep;
    return m_Config.ReadConfig();
}

bool CTraceImpl::IsEnabled() { return m_Config.m_EnableMask.load() != 0 && (m_Config.m_ParamsMask.load() & 0xFF) != 0; }
bool CTraceImpl::IsLevelEnabled(DWORD level) { return (level & m_Config.m_EnableMask.load()) != 0; }
bool CTraceImpl::IsContext(DWORD value) { return value == m_Config.m_ContextMask.load(); }
bool CTraceImpl::IsTimeEnabled() { return (m_Config.m_ParamsMask.load() & TP_TIME) != 0; }
bool CTraceImpl::IsMsecEnabled() { return (m_Config.m_ParamsMask.load() & TP_MSEC) != 0; }

void CTraceImpl::TraceVA(DWORD level, const char* format, va_list args) {
    LastErrorGuard keep;
    if (!IsEnabled() || !IsLevelEnabled(level) || !format || !*format) return;
    std::vector<char> text(256);
    int n;
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        n = _vsnprintf_l(text.data(), text.size() - 1, format, m_Locale, copy);
        va_end(copy);
        if (n >= 0) break;
        text.assign(text.size() * 2, 0);
    }
    std::string record = level == TL_WARNING ? "W> " : level == TL_ERROR ? "E> " : "";
    record.append(text.data(), n);
    record += "\r\n";
    if (auto* sink = m_RecordSink.load()) sink->OnRecord(level, record.data(), record.size());
}

void CTraceImpl::TraceVW(DWORD level, const wchar_t* format, va_list args) {
    LastErrorGuard keep;
    if (!IsEnabled() || !IsLevelEnabled(level) || !format || !*format) return;
    std::vector<wchar_t> text(256);
    int n;
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        n = _vsnwprintf_l(text.data(), text.size() - 1, format, m_Locale, copy);
        va_end(copy);
        if (n >= 0) break;
        text.assign(text.size() * 2, 0);
    }
    std::string record = level == TL_WARNING ? "W> " : level == TL_ERROR ? "E> " : "";
    if (n > 0) {
        std::string bytes(static_cast<size_t>(n), '\0');
        int m = WideCharToMultiByte(1251, 0, text.data(), n, bytes.data(), n, nullptr, nullptr);
        record.append(bytes.data(), m > 0 ? m : 0);
    }
    record += "\r\n";
    if (auto* sink = m_RecordSink.load()) sink->OnRecord(level, record.data(), record.size());
}

void CTraceImpl::TraceDump(DWORD, const wchar_t*, const void*, DWORD, DWORD) {}

CVqTrace::CVqTrace(const wchar_t* name, TraceLocation location) {
    try {
        m_pImpl = std::make_unique<CTraceImpl>(name, std::move(location));
    } catch (...) {
        OutputDebugStringA("Exception raised in CVqTrace::CVqTrace()\n");
    }
}

CVqTrace::~CVqTrace() = default;

void CVqTrace::TraceA(DWORD level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    TraceVA(level, format, args);
    va_end(args);
}

void CVqTrace::TraceW(DWORD level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    TraceVW(level, format, args);
    va_end(args);
}

void CVqTrace::TraceVA(DWORD level, const char* format, va_list args) {
    if (!m_pImpl) return;
    try { m_pImpl->TraceVA(level, format, args); } catch (...) {}
}

void CVqTrace::TraceVW(DWORD level, const wchar_t* format, va_list args) {
    if (!m_pImpl) return;
    try { m_pImpl->TraceVW(level, format, args); } catch (...) {}
}

void CVqTrace::TraceDump(DWORD level, const wchar_t* title, const void* data, DWORD size, DWORD flags) {
    if (!m_pImpl) return;
    try { m_pImpl->TraceDump(level, title, data, size, flags); } catch (...) {}
}

bool CVqTrace::Reload() {
    if (!m_pImpl) return false;
    try { return m_pImpl->Reload(); } catch (...) { return false; }
}
bool CVqTrace::IsEnabled() { return m_pImpl && m_pImpl->IsEnabled(); }
bool CVqTrace::IsLevelEnabled(DWORD level) { return m_pImpl && m_pImpl->IsLevelEnabled(level); }
bool CVqTrace::IsContext(DWORD value) { return m_pImpl && m_pImpl->IsContext(value); }
bool CVqTrace::IsTimeEnabled() { return m_pImpl && m_pImpl->IsTimeEnabled(); }
bool CVqTrace::IsMsecEnabled() { return m_pImpl && m_pImpl->IsMsecEnabled(); }

CVqTrace& GetTrace() {
    static CVqTrace trace(kTraceName);
    return trace;
}

}  // namespace VqBase
