// Build tool: copies a UTF-8 text file as UTF-16LE with a byte order mark.
// mc.exe reads Unicode input only in that form (-u) and takes anything else
// for the ANSI code page, which would spoil the Russian texts of the .mc.
//   vq_utf16 INPUT OUTPUT      exit 0, or 1 on malformed UTF-8 or I/O errors
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// Decodes one code point at text[i], advancing i; false on malformed input
// (truncated or overlong sequences, surrogates, values past U+10FFFF).
bool NextCodePoint(const std::string& text, std::size_t& i, char32_t& cp) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    cp = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next >> 6) != 0x2) return false;
        cp = (cp << 6) | (next & 0x3F);
    }
    static const char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < shortest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
    return true;
}

void PutUnit(std::string& out, char32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

}  // namespace

// wmain: the product's programs are all built with the wide entry point.
int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vq_utf16 INPUT OUTPUT\n");
        return 1;
    }
    std::ifstream in(std::filesystem::path(argv[1]), std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "vq_utf16: cannot read %ls\n", argv[1]);
        return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t i = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::string out("\xFF\xFE");
    while (i < text.size()) {
        char32_t cp = 0;
        if (!NextCodePoint(text, i, cp)) {
            std::fprintf(stderr, "vq_utf16: %ls: malformed UTF-8 at byte %zu\n", argv[1], i);
            return 1;
        }
        if (cp >= 0x10000) {
            PutUnit(out, 0xD800 + ((cp - 0x10000) >> 10));
            PutUnit(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            PutUnit(out, cp);
        }
    }
    std::ofstream file(std::filesystem::path(argv[2]), std::ios::binary | std::ios::trunc);
    if (!file.write(out.data(), static_cast<std::streamsize>(out.size())) || !file.flush()) {
        std::fprintf(stderr, "vq_utf16: cannot write %ls\n", argv[2]);
        return 1;
    }
    return 0;
}
