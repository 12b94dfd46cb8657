// The pieces of a trace record: heap buffer, time stamp, prefix fields and
// the hexadecimal dump.
#include "base/VqTraceRecord.h"

#include "base/VqTraceConstants.h"

#include <cstdio>
#include <cstring>

namespace VqBase {

CHeapBuffer::CHeapBuffer(size_t capacity) { Grow(capacity, false); }

CHeapBuffer::~CHeapBuffer() {
    if (m_Begin) ::HeapFree(::GetProcessHeap(), 0, m_Begin);
}

bool CHeapBuffer::Grow(size_t capacity, bool keep) {
    char* block = capacity ? static_cast<char*>(::HeapAlloc(::GetProcessHeap(), 0, capacity)) : nullptr;
    const size_t size = keep ? Size() : 0;
    if (block && size) std::memcpy(block, m_Begin, size);
    if (m_Begin) ::HeapFree(::GetProcessHeap(), 0, m_Begin);
    m_Begin = block;
    m_End = block ? block + size : nullptr;
    m_Capacity = block ? capacity : 0;
    return block != nullptr;
}

bool CHeapBuffer::Append(const void* bytes, size_t size) {
    if (!m_Begin) return false;
    if (size > Free()) {
        size_t capacity = m_Capacity;
        while (capacity - Size() < size) capacity *= 2;
        if (!Grow(capacity, true)) return false;
    }
    std::memcpy(m_End, bytes, size);
    m_End += size;
    return true;
}

bool CHeapBuffer::ResetAndDouble() { return m_Begin && Grow(m_Capacity * 2, false); }

CTraceTime::CTraceTime() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    *this = CTraceTime(now);
}

CTraceTime::CTraceTime(const SYSTEMTIME& t) {
    _snprintf(m_Date, sizeof(m_Date), "%02d.%02d.%04d ", t.wDay, t.wMonth, t.wYear);
    _snprintf(m_Clock, sizeof(m_Clock), "%02d:%02d:%02d", t.wHour, t.wMinute, t.wSecond);
    _snprintf(m_Msec, sizeof(m_Msec), ".%03u", static_cast<unsigned>(t.wMilliseconds));
}

CTraceIds CTraceIds::Current() {
    CTraceIds ids;
    ids.m_Process = ::GetCurrentProcessId();
    ids.m_Thread = ::GetCurrentThreadId();
    if (!::ProcessIdToSessionId(ids.m_Process, &ids.m_Session)) ids.m_Session = 0xFFFFFFFF;
    return ids;
}

std::string MakeNameField(const std::wstring& name) {
    const int room = static_cast<int>(kMaxNameField - 3);
    const int chars = name.size() > static_cast<size_t>(room) ? room : static_cast<int>(name.size());
    std::string field(kMaxNameField, '\0');
    field[0] = '[';
    int bytes = chars ? ::WideCharToMultiByte(1251, 0, name.data(), chars, field.data() + 1, room, nullptr, nullptr) : 0;
    if (bytes < 0) bytes = 0;
    field.resize(1 + static_cast<size_t>(bytes));
    field += "] ";
    return field;
}

bool AppendPrefix(CHeapBuffer& record, const CRecordPrefix& p) {
    // The longest prefix: date, time, msec, name, session and identifiers.
    char fields[11 + 8 + 4 + kMaxNameField + 11 + 20 + 3 + 1];
    size_t used = 0;
    auto add = [&](std::string_view text) {
        std::memcpy(fields + used, text.data(), text.size());
        used += text.size();
    };
    if (p.m_Time) {
        if (p.m_Params & TP_DATE) add(p.m_Time->Date());
        if (p.m_Params & TP_TIME) {
            add(p.m_Time->Clock());
            if (p.m_Params & TP_MSEC) add(p.m_Time->Msec());
        }
    }
    if (p.m_CommonFlag != 0 || (p.m_Params & TP_NAME)) add(p.m_NameField.substr(0, kMaxNameField));
    if (p.m_Ids) {
        if (p.m_Params & TP_SESSION)
            used += static_cast<size_t>(_snprintf(fields + used, 12, "[%08X] ", static_cast<unsigned>(p.m_Ids->m_Session)));
        if (p.m_Params & TP_THREAD)
            used += static_cast<size_t>(_snprintf(fields + used, 21, "[%X:%X] ", static_cast<unsigned>(p.m_Ids->m_Process),
                                                  static_cast<unsigned>(p.m_Ids->m_Thread)));
    }
    if (p.m_Level == TL_WARNING) add("W> ");
    if (p.m_Level == TL_ERROR) add("E> ");
    return record.Append(fields, used);
}

std::wstring FormatNumber(DWORD value, DWORD flags) {
    const int digits = (flags & 0x80) ? 8 : (flags & 0x40) ? 4 : 2;
    wchar_t text[9];
    _snwprintf(text, 9, L"%0*X", digits, static_cast<unsigned>(value));
    text[8] = L'\0';
    return text;
}

std::wstring BuildDumpText(const wchar_t* title, const void* data, DWORD size, DWORD flags) {
    std::wstring text = title ? title : L"";
    if (!data) return text;
    const DWORD itemSize = (flags & 0x80) ? 4 : (flags & 0x40) ? 2 : 1;
    const DWORD perLine = (flags & 0x80) ? 8 : (flags & 0x40) ? 16 : 32;
    const DWORD count = size / itemSize;
    const DWORD offsetFlags = count <= 0xFF ? 0 : count <= 0xFFFF ? 0x40 : 0x80;
    const auto* bytes = static_cast<const BYTE*>(data);

    // Per item: the separator (at most 3) and 8 digits; per line: CR LF,
    // blank, offset and colon.
    text.reserve(text.size() + size_t{count} * 11 + (size_t{count} / perLine + 2) * 12);
    for (DWORD i = 0; i < count; ++i) {
        if (i % perLine == 0) {
            text += L"\r\n ";
            text += FormatNumber(i, offsetFlags);
            text += L':';
        }
        text += (itemSize < 4 && i % 8 == 0 && i % perLine != 0) ? L" - " : L" ";
        DWORD item = 0;
        std::memcpy(&item, bytes + size_t{i} * itemSize, itemSize);  // machine byte order
        text += FormatNumber(item, flags);
    }
    if (count % perLine != 0) text += L"\r\n";
    return text;
}

}  // namespace VqBase
