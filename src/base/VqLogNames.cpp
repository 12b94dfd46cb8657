// The names the log file's sink makes beside the log.
#include "base/VqLogNames.h"

#include <ntsecapi.h>

#include <cwctype>

namespace VqBase {

namespace {

constexpr wchar_t kFallbackMark[] = L".fallback-";
constexpr size_t kTokenDigits = 16;

// "ReRiruRuvazor.log" as "ReRiruRuvazor" and ".log"; a name without a dot
// has no extension.
void SplitExtension(const std::wstring& name, std::wstring& stem, std::wstring& extension) {
    const size_t dot = name.rfind(L'.');
    stem = dot == std::wstring::npos ? name : name.substr(0, dot);
    extension = dot == std::wstring::npos ? std::wstring() : name.substr(dot);
}

}  // namespace

std::wstring RandomToken() {
    // 64 bits from the system's generator, as the C runtime's rand_s draws
    // them: a name another user cannot predict and so cannot take before the
    // sink makes it. advapi32 is loaded anyway; bcrypt.dll would be one
    // library more at every start, and under Wine its load costs the
    // service's start about 7 ms.
    unsigned char bytes[kTokenDigits / 2] = {};
    if (!::RtlGenRandom(bytes, sizeof(bytes))) return {};
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring token;
    for (unsigned char byte : bytes) {
        token += kDigits[byte >> 4];
        token += kDigits[byte & 0x0F];
    }
    return token;
}

std::wstring RotatedName(const std::wstring& name) { return name + L".1"; }

std::wstring FallbackFileName(const std::wstring& name, const std::wstring& token) {
    std::wstring stem, extension;
    SplitExtension(name, stem, extension);
    return stem + kFallbackMark + token + extension;
}

std::wstring FallbackFilePattern(const std::wstring& name) { return FallbackFileName(name, L"*"); }

bool IsFallbackFileName(const std::wstring& name, const std::wstring& candidate) {
    std::wstring stem, extension;
    SplitExtension(name, stem, extension);
    const std::wstring head = stem + kFallbackMark;
    if (candidate.size() != head.size() + kTokenDigits + extension.size()) return false;
    auto same = [](const std::wstring& a, size_t at, const std::wstring& b) {
        return ::CompareStringOrdinal(a.c_str() + at, static_cast<int>(b.size()), b.c_str(),
                                      static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
    };
    for (size_t i = head.size(); i < head.size() + kTokenDigits; ++i)
        if (!std::iswxdigit(candidate[i])) return false;
    return same(candidate, 0, head) && same(candidate, head.size() + kTokenDigits, extension);
}

std::wstring PlantAsideName(const std::wstring& name, const std::wstring& token) { return name + L".planted-" + token; }

std::wstring NextFileName(const std::wstring& name, const std::wstring& token) { return name + L".next-" + token; }

std::wstring RetiredName(const std::wstring& name, const std::wstring& token) { return name + L".old-" + token; }

}  // namespace VqBase
