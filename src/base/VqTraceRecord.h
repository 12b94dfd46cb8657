#pragma once
// The pieces of a trace record: heap buffer, time stamp, identifiers, prefix
// fields and the hexadecimal dump.
#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace VqBase {

// A byte buffer on the process heap. A failed allocation leaves it invalid
// (no block); every operation then fails and the record is dropped.
class CHeapBuffer {
public:
    explicit CHeapBuffer(size_t capacity);
    ~CHeapBuffer();
    CHeapBuffer(const CHeapBuffer&) = delete;
    CHeapBuffer& operator=(const CHeapBuffer&) = delete;

    bool IsValid() const { return m_Begin != nullptr; }
    // Appends, doubling the capacity until the bytes fit.
    bool Append(const void* bytes, size_t size);
    // Discards the content and doubles the capacity (used while formatting).
    bool ResetAndDouble();
    // The writer filled `size` bytes of the free space directly.
    void Commit(size_t size) { m_End += size; }

    char* Data() const { return m_Begin; }
    char* End() const { return m_End; }
    size_t Size() const { return static_cast<size_t>(m_End - m_Begin); }
    size_t Capacity() const { return m_Capacity; }
    size_t Free() const { return m_Capacity - Size(); }

private:
    bool Grow(size_t capacity, bool keep);

    char* m_Begin = nullptr;
    char* m_End = nullptr;
    size_t m_Capacity = 0;
};

// One local time stamp and its three texts.
class CTraceTime {
public:
    CTraceTime();  // now
    explicit CTraceTime(const SYSTEMTIME& time);

    std::string_view Date() const { return {m_Date, 11}; }   // "dd.mm.yyyy "
    std::string_view Clock() const { return {m_Clock, 8}; }  // "hh:mm:ss"
    std::string_view Msec() const { return {m_Msec, 4}; }    // ".mmm"

private:
    char m_Date[12] = {};
    char m_Clock[9] = {};
    char m_Msec[5] = {};
};

// The identifiers a record can carry.
struct CTraceIds {
    DWORD m_Session = 0;
    DWORD m_Process = 0;
    DWORD m_Thread = 0;

    static CTraceIds Current();
};

// The longest trace name the name field holds: "[" + name + "] " is 48 bytes.
inline constexpr size_t kMaxNameField = 48;

// "[name] " in code page 1251; a longer name is cut so that the field keeps
// its 48 bytes.
std::string MakeNameField(const std::wstring& name);

// Everything the prefix of one record depends on.
struct CRecordPrefix {
    DWORD m_Level = 0;
    DWORD m_Params = 0;
    DWORD m_CommonFlag = 0;
    std::string_view m_NameField;
    const CTraceTime* m_Time = nullptr;  // needed with TP_DATE or TP_TIME
    const CTraceIds* m_Ids = nullptr;    // needed with TP_SESSION or TP_THREAD
};

// Appends date, time, milliseconds, name, session, process and thread, and
// the level mark, each when selected.
bool AppendPrefix(CHeapBuffer& record, const CRecordPrefix& prefix);

// Upper-case hexadecimal, zero-padded to 8 (0x80), 4 (0x40) or 2 digits.
std::wstring FormatNumber(DWORD value, DWORD flags);

// The message of a dump: the title and the items, 32 bytes, 16 words or 8
// double words to a line, each line led by the index of its first item.
std::wstring BuildDumpText(const wchar_t* title, const void* data, DWORD size, DWORD flags);

inline constexpr char kBreakNote[] = "W> A break is requested after last output, but ommitted in release.\n";

}  // namespace VqBase
