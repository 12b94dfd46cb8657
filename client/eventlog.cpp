#include "eventlog.h"

#include <cwchar>
#include <memory>
#include <type_traits>
#include <vector>

#include "errortext.h"
#include "paths.h"
#include "scm.h"
#include "service_env.h"

namespace diagctl {
namespace {

struct EventLogCloser {
    void operator()(HANDLE log) const { CloseEventLog(log); }
};
using EventLogOwner = std::unique_ptr<std::remove_pointer_t<HANDLE>, EventLogCloser>;

struct LibraryFree {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using ModuleOwner = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFree>;

std::wstring UtcTime(DWORD secondsSince1970) {
    // FILETIME counts 100 ns from 1601; 1970 is 11644473600 s later.
    const ULONGLONG ticks = (ULONGLONG{secondsSince1970} + 11644473600ULL) * 10000000ULL;
    const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc{};
    FileTimeToSystemTime(&time, &utc);
    wchar_t text[32] = {};
    swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u UTC", utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute,
             utc.wSecond);
    return text;
}

const wchar_t* Level(WORD type) {
    switch (type) {
    case EVENTLOG_ERROR_TYPE: return L"Error";
    case EVENTLOG_WARNING_TYPE: return L"Warning";
    default: return L"Information";
    }
}

// The entry's text as Event Viewer shows it: its message with the entry's
// strings inserted; the bare strings when the module has no such message.
std::wstring EntryText(const EVENTLOGRECORD& record, HMODULE messages) {
    // FormatMessageW takes the inserts as an array of pointers.
    std::vector<DWORD_PTR> strings;
    const auto* next = reinterpret_cast<const wchar_t*>(reinterpret_cast<const BYTE*>(&record) + record.StringOffset);
    for (WORD i = 0; i < record.NumStrings; ++i, next += wcslen(next) + 1)
        strings.push_back(reinterpret_cast<DWORD_PTR>(next));
    wchar_t* text = nullptr;
    const DWORD length =
        messages ? FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  messages, record.EventID, 0, reinterpret_cast<wchar_t*>(&text), 0,
                                  reinterpret_cast<va_list*>(strings.data()))
                 : 0;
    std::wstring result;
    if (length != 0)
        result.assign(text, length);
    else
        for (const DWORD_PTR string : strings)
            result += std::wstring(reinterpret_cast<const wchar_t*>(string)) + L"\n";
    LocalFree(text);
    return result;
}

}  // namespace

ServiceEvents ReadServiceEvents(size_t limit) {
    ServiceEvents events;
    // Wine is told by its ntdll: its event log answers as an empty one would.
    if (RunsUnderWine()) {
        events.Kept = false;
        return events;
    }
    EventLogOwner log(OpenEventLogW(nullptr, L"Application"));
    if (!log) {
        events.Error = GetLastError();
        return events;
    }
    // The texts are in the message module beside diagctl: the installed one.
    ModuleOwner messages(
        LoadLibraryExW((ModuleDirectory() + L"VqError.dll").c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    std::vector<BYTE> buffer(64 * 1024);
    while (events.Count < limit) {
        DWORD read = 0, needed = 0;
        if (!ReadEventLogW(log.get(), EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &read, &needed)) {
            const DWORD error = GetLastError();
            if (error == ERROR_INSUFFICIENT_BUFFER) {
                buffer.resize(needed);
                continue;
            }
            if (error != ERROR_HANDLE_EOF)
                events.Error = error;
            break;
        }
        for (DWORD at = 0; at < read && events.Count < limit;) {
            const auto& record = *reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
            at += record.Length;
            if (std::wstring(reinterpret_cast<const wchar_t*>(&record + 1)) != kServiceName)
                continue;
            ++events.Count;
            events.Text += UtcTime(record.TimeGenerated) + L"  " + Level(record.EventType) + L"  event " +
                           std::to_wstring(record.EventID & 0xFFFF) + L"\n" + EntryText(record, messages.get()) +
                           L"\n";
        }
    }
    return events;
}

}  // namespace diagctl
