#include "errortext.h"

#include <cwctype>
#include <memory>
#include <type_traits>

#include "base/VqError.h"
#include "console.h"
#include "diagproto.h"

namespace diagctl {
namespace {

struct LibraryFree {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using ModuleOwner = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFree>;

}  // namespace

std::wstring ErrorText(DWORD code) {
    // VqBase::GetErrorText reads 0xFFFFFFFF as "the last error"; an exit code
    // of that value is a value of its own, so the lookup is made directly.
    ModuleOwner module(VqBase::OpenMessageModule(code));
    std::wstring text = VqBase::FormatErrorText(code, module.get());
    // The lookup's last resort is the number itself, which is no text.
    if (text == VqBase::NumericErrorText(code))
        return std::wstring();
    while (!text.empty() && std::iswspace(text.back()))
        text.pop_back();
    return text;
}

std::wstring HexCode(DWORD code) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text = L"0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        text += kDigits[(code >> shift) & 0xF];
    return text;
}

std::wstring CodeAndText(DWORD code, const std::wstring& text) {
    return std::to_wstring(code) + L" (" + HexCode(code) + L"): " +
           (text.empty() ? std::wstring(L"no text for this code in the message tables") : text);
}

std::wstring DescribeError(DWORD code, const std::wstring& text) { return L"error " + CodeAndText(code, text); }

std::wstring DescribeError(DWORD code) { return DescribeError(code, ErrorText(code)); }

std::wstring FailureMessage(const std::wstring& what, DWORD code) {
    return what + L" failed: " + DescribeError(code);
}

int ReportFailure(const std::wstring& what, DWORD code) {
    Err(L"diagctl: " + FailureMessage(what, code) + L"\n");
    return diagproto::ExitCodeForError(code);
}

}  // namespace diagctl
