#include "trace_words.h"

#include "base/VqTraceConstants.h"
#include "cmdline.h"

namespace diagctl {
namespace {

struct Word {
    TraceWords Group;
    const wchar_t* Name;
    DWORD Bit;
};

// In the order the fields lead a line.
constexpr Word kWords[] = {
    {TraceWords::Levels, L"info", VqBase::TL_INFO},
    {TraceWords::Levels, L"warning", VqBase::TL_WARNING},
    {TraceWords::Levels, L"error", VqBase::TL_ERROR},
    {TraceWords::Levels, L"break", VqBase::TL_BREAK},
    {TraceWords::Sinks, L"file", VqBase::TP_FILE},
    {TraceWords::Sinks, L"debugger", VqBase::TP_DEBUGGER},
    {TraceWords::Sinks, L"console", VqBase::TP_CONSOLE},
    {TraceWords::Fields, L"date", VqBase::TP_DATE},
    {TraceWords::Fields, L"time", VqBase::TP_TIME},
    {TraceWords::Fields, L"msec", VqBase::TP_MSEC},
    {TraceWords::Fields, L"name", VqBase::TP_NAME},
    {TraceWords::Fields, L"session", VqBase::TP_SESSION},
    {TraceWords::Fields, L"ids", VqBase::TP_THREAD},
};

std::wstring Names(TraceWords group) {
    std::wstring names;
    for (const Word& word : kWords)
        if (word.Group == group)
            names += (names.empty() ? L"" : L", ") + std::wstring(word.Name);
    return names;
}

}  // namespace

DWORD TraceWordBits(TraceWords group) {
    DWORD bits = 0;
    for (const Word& word : kWords)
        if (word.Group == group)
            bits |= word.Bit;
    return bits;
}

std::optional<DWORD> ParseTraceWords(TraceWords group, const std::wstring& list, std::wstring& error) {
    if (SameName(list, L"none"))
        return DWORD{0};
    DWORD mask = 0;
    size_t at = 0;
    for (;;) {
        const size_t comma = list.find(L',', at);
        const std::wstring name = list.substr(at, comma == std::wstring::npos ? std::wstring::npos : comma - at);
        const Word* found = nullptr;
        for (const Word& word : kWords)
            if (word.Group == group && SameName(name, word.Name))
                found = &word;
        if (found == nullptr) {
            error = (name.empty() ? std::wstring(L"an empty name") : L"\"" + name + L"\"") + L" is none of " +
                    Names(group) + L" (or none alone)";
            return std::nullopt;
        }
        mask |= found->Bit;
        if (comma == std::wstring::npos)
            return mask;
        at = comma + 1;
    }
}

std::wstring TraceWordList(TraceWords group, DWORD mask) {
    std::wstring list;
    for (const Word& word : kWords)
        if (word.Group == group && (mask & word.Bit) != 0)
            list += (list.empty() ? L"" : L",") + std::wstring(word.Name);
    return list.empty() ? L"none" : list;
}

std::optional<bool> ParseOnOff(const std::wstring& text) {
    if (SameName(text, L"on"))
        return true;
    if (SameName(text, L"off"))
        return false;
    return std::nullopt;
}

}  // namespace diagctl
