#include "diagproto.h"

#include <cstring>
#include <cwchar>
#include <cwctype>
#include <sstream>
#include <iomanip>

namespace diagproto {

namespace {

void AppendInt32(std::vector<std::uint8_t>& bytes, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
}

void AppendString(std::vector<std::uint8_t>& bytes, const std::wstring& text) {
    for (wchar_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
    bytes.push_back(0);
    bytes.push_back(0);
}

std::wstring Hex32(std::uint32_t value) {
    std::wostringstream text;
    text << L"0x" << std::uppercase << std::hex << std::setw(8) << std::setfill(L'0') << value;
    return text.str();
}

}  // namespace

std::vector<std::uint8_t> EncodeRequest(std::int32_t workType, std::int32_t dataSize,
                                        const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(kHeaderSize + data.size());
    AppendInt32(bytes, workType);
    AppendInt32(bytes, dataSize);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

std::vector<std::uint8_t> EncodeQuit() { return EncodeRequest(kWorkTypeQuit, 0, {}); }

std::vector<std::uint8_t> EncodePairList(const std::vector<ExportPair>& pairs) {
    std::vector<std::uint8_t> list;
    for (const ExportPair& pair : pairs) {
        AppendString(list, pair.Key);
        AppendString(list, pair.File);
    }
    AppendString(list, std::wstring());
    return list;
}

std::vector<std::uint8_t> EncodeExport(const std::vector<ExportPair>& pairs) {
    const std::vector<std::uint8_t> list = EncodePairList(pairs);
    return EncodeRequest(kWorkTypeExportRegKeys, static_cast<std::int32_t>(list.size()), list);
}

bool ParsePair(const std::wstring& text, ExportPair& pair) {
    const size_t separator = text.find(L'=');
    if (separator == std::wstring::npos || separator == 0 || separator + 1 == text.size())
        return false;
    pair.Key = text.substr(0, separator);
    pair.File = text.substr(separator + 1);
    return true;
}

bool ParseHex(const std::wstring& text, std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> parsed;
    int high = -1;
    for (wchar_t c : text) {
        if (c == L' ' || c == L',' || c == L':' || c == L'\t') {
            if (high >= 0)
                return false;  // a lone digit
            continue;
        }
        int digit;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'a' && c <= L'f')
            digit = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else
            return false;
        if (high < 0) {
            high = digit;
        } else {
            parsed.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0)
        return false;
    bytes = std::move(parsed);
    return true;
}

bool ParseInt32(const std::wstring& text, std::int32_t& value) {
    // wcstoll skips blanks and takes a plus sign; a number given here has
    // neither.
    if (text.empty() || !(std::iswdigit(text[0]) || (text[0] == L'-' && text.size() > 1 && std::iswdigit(text[1]))))
        return false;
    const wchar_t* begin = text.c_str();
    wchar_t* end = nullptr;
    errno = 0;
    const long long parsed = std::wcstoll(begin, &end, 0);
    if (errno != 0 || end == begin || *end != L'\0' || parsed < INT32_MIN || parsed > UINT32_MAX)
        return false;
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(parsed));
    return true;
}

Reply DecodeReply(const void* record, std::size_t size) {
    Reply reply;
    if (record == nullptr || size < kHeaderSize)
        return reply;
    const auto* bytes = static_cast<const std::uint8_t*>(record);
    std::memcpy(&reply.ResultCode, bytes, sizeof(std::int32_t));
    std::memcpy(&reply.DataSize, bytes + 4, sizeof(std::int32_t));
    const std::size_t room = size - kHeaderSize;
    if (reply.DataSize < 0 || static_cast<std::size_t>(reply.DataSize) > room || reply.DataSize % 4 != 0)
        return reply;
    reply.DataSizeValid = true;
    reply.Values.resize(static_cast<std::size_t>(reply.DataSize) / 4);
    if (!reply.Values.empty())
        std::memcpy(reply.Values.data(), bytes + kHeaderSize, reply.Values.size() * sizeof(std::uint32_t));
    return reply;
}

std::wstring FormatReply(const Reply& reply, const std::vector<ExportPair>* pairs, const std::wstring& resultText) {
    std::wostringstream out;
    const auto result = static_cast<std::uint32_t>(reply.ResultCode);
    out << L"result: " << result << L" (" << Hex32(result) << L")";
    if (!resultText.empty())
        out << L" " << resultText;
    out << L"\n";
    out << L"data size: " << reply.DataSize;
    if (!reply.DataSizeValid)
        out << L" (not a valid reply length)";
    out << L"\n";
    for (std::size_t i = 0; i < reply.Values.size(); ++i) {
        const std::uint32_t code = reply.Values[i];
        if (pairs != nullptr && i < pairs->size()) {
            out << L"pair " << (i + 1) << L": key \"" << (*pairs)[i].Key << L"\" file \"" << (*pairs)[i].File
                << L"\" exit code " << code << L" (" << Hex32(code) << L")\n";
        } else {
            out << L"value " << (i + 1) << L": " << code << L" (" << Hex32(code) << L")\n";
        }
    }
    if (pairs != nullptr && reply.DataSizeValid && reply.ResultCode == 0 && reply.Values.size() != pairs->size())
        out << L"warning: " << reply.Values.size() << L" exit codes for " << pairs->size() << L" pairs\n";
    return out.str();
}

std::wstring PairCodeMeaning(std::uint32_t code, const std::wstring& errorText) {
    switch (code) {
    case 0:
        return std::wstring();
    case 1:
        return L"reg.exe failed: the key does not exist or the file could not be written";
    case 995:
        return L"a stop of the service ended reg.exe or kept it from starting (the file may be incomplete)";
    default:
        return L"not an exit code of reg.exe's own (0 or 1): reg.exe could not be started or was ended" +
               (errorText.empty() ? std::wstring() : L": " + errorText);
    }
}

std::wstring FormatPairSummary(const Reply& reply, const std::vector<ExportPair>& pairs,
                               const std::function<std::wstring(std::uint32_t)>& errorText) {
    std::wostringstream lines;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < reply.Values.size() && i < pairs.size(); ++i) {
        const std::uint32_t code = reply.Values[i];
        if (code == 0)
            continue;
        ++failed;
        lines << L"pair " << (i + 1) << L" (exit code " << code << L"): " << PairCodeMeaning(code, errorText(code))
              << L"\n";
    }
    if (failed == 0)
        return std::wstring();
    return std::to_wstring(failed) + L" of " + std::to_wstring(pairs.size()) + L" pairs failed\n" + lines.str();
}

int ExitCodeFor(const Reply& reply, std::int32_t requestType) {
    if (reply.ResultCode == 13)
        return kExitRefused;
    if (reply.ResultCode != 0)
        return kExitFailed;
    if (requestType == kWorkTypeExportRegKeys) {
        if (!reply.DataSizeValid)
            return kExitFailed;
        for (std::uint32_t code : reply.Values)
            if (code != 0)
                return kExitFailed;
    }
    return kExitSuccess;
}

int ExitCodeForError(unsigned long error) {
    if (error == 0 || (error & kOwnExitCodeBit) != 0)
        return kExitFailed;
    return static_cast<int>(error);
}

}  // namespace diagproto
