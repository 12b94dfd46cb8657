#pragma once
// The log's bytes as text for an operator's console: decoded from code page
// 1251, lines ending in a line feed, and no control character left.
#include <cstddef>
#include <string>

namespace diagctl {

// Anyone may append to a common log file, and a terminal obeys what it is
// sent (ESC and OSC sequences retitle it, clear it, hide or forge text; BEL
// rings; a bare CR overwrites the line shown). So after decoding, C0 controls
// but TAB, and U+007F to U+009F, become visible escapes such as \x1B; CR LF
// and a lone LF end a line. The bytes may come in pieces of any size: a CR
// at the end of one piece waits for the next to show whether LF follows.
class LogTextDecoder {
public:
    std::wstring Decode(const char* bytes, size_t size);
    // The end of the bytes: a CR held back, and a line feed after a last
    // line that has none.
    std::wstring Finish();

private:
    void Put(std::wstring& text, wchar_t c);

    bool m_PendingCr = false;
    bool m_LineOpen = false;
};

}  // namespace diagctl
