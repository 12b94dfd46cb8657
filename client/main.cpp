// diagctl: the operator's and the tests' stand-in for the diagnostic tool.
// It creates the work channel, posts one request, waits for the reply and
// prints it; the service-control verbs are handed to scm.cpp.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/VqError.h"
#include "channel.h"
#include "diagproto.h"
#include "scm.h"

namespace {

constexpr DWORD kDefaultTimeoutMs = 60000;

const wchar_t kUsage[] =
    L"usage: diagctl [options] export KEY=FILE [KEY=FILE ...]\n"
    L"       diagctl [options] quit\n"
    L"       diagctl [options] raw WORKTYPE DATASIZE [HEXBYTES]\n"
    L"       diagctl <service command> ...\n"
    L"options:\n"
    L"  --names PREFIX     use PREFIX.Section, PREFIX.DoWork and PREFIX.WorkDone\n"
    L"  --section NAME     the shared section's name\n"
    L"  --do-work NAME     the do-work event's name\n"
    L"  --work-done NAME   the work-done event's name\n"
    L"  --size BYTES       the section's size (default 65536)\n"
    L"  --timeout MS       how long to wait for the reply (default 60000)\n"
    L"exit codes: 0 success, 1 usage or channel error, 2 request refused,\n"
    L"            3 request failed, 4 no reply in time, 5 channel names taken\n";

// Text goes out as UTF-8 when redirected and through the console API when
// not, so that texts in any language survive either way.
void Write(FILE* stream, const std::wstring& text) {
    const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        DWORD written = 0;
        WriteConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                            nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

int UsageError(const std::wstring& message) {
    Write(stderr, L"diagctl: " + message + L"\n" + kUsage);
    return diagproto::kExitUsage;
}

std::wstring ResultText(std::int32_t result) {
    // 0xFFFFFFFF asks the lookup for the thread's last error; it is no
    // result code of its own.
    if (static_cast<DWORD>(result) == 0xFFFFFFFF)
        return std::wstring();
    std::wstring text = VqBase::GetErrorText(static_cast<DWORD>(result));
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}

bool ParseUnsigned(const std::wstring& text, DWORD& value) {
    std::int32_t parsed = 0;
    if (!diagproto::ParseInt32(text, parsed) || text[0] == L'-')
        return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.empty())
        return UsageError(L"no command");
    if (diagctl::IsScmCommand(args[0]))
        return diagctl::RunScmCommand(args);

    diagctl::ChannelNames names = diagctl::ProductChannelNames();
    DWORD sectionSize = diagctl::kDefaultSectionSize;
    DWORD timeoutMs = kDefaultTimeoutMs;
    size_t i = 0;
    for (; i < args.size() && args[i].rfind(L"--", 0) == 0; ++i) {
        const std::wstring& option = args[i];
        if (i + 1 >= args.size())
            return UsageError(option + L" needs a value");
        const std::wstring& value = args[++i];
        if (option == L"--names")
            names = diagctl::PrefixedChannelNames(value);
        else if (option == L"--section")
            names.Section = value;
        else if (option == L"--do-work")
            names.DoWork = value;
        else if (option == L"--work-done")
            names.WorkDone = value;
        else if (option == L"--size") {
            if (!ParseUnsigned(value, sectionSize) || sectionSize < diagproto::kHeaderSize)
                return UsageError(L"bad section size \"" + value + L"\"");
        } else if (option == L"--timeout") {
            if (!ParseUnsigned(value, timeoutMs))
                return UsageError(L"bad time-out \"" + value + L"\"");
        } else
            return UsageError(L"unknown option " + option);
    }
    if (i >= args.size())
        return UsageError(L"no command");

    const std::wstring command = args[i++];
    std::vector<std::uint8_t> request;
    std::vector<diagproto::ExportPair> pairs;
    std::int32_t workType = 0;
    if (command == L"export") {
        if (i >= args.size())
            return UsageError(L"export needs at least one KEY=FILE pair");
        for (; i < args.size(); ++i) {
            diagproto::ExportPair pair;
            if (!diagproto::ParsePair(args[i], pair))
                return UsageError(L"bad pair \"" + args[i] + L"\" (KEY=FILE)");
            pairs.push_back(pair);
        }
        workType = diagproto::kWorkTypeExportRegKeys;
        request = diagproto::EncodeExport(pairs);
    } else if (command == L"quit") {
        if (i != args.size())
            return UsageError(L"quit takes no arguments");
        workType = diagproto::kWorkTypeQuit;
        request = diagproto::EncodeQuit();
    } else if (command == L"raw") {
        std::int32_t dataSize = 0;
        std::vector<std::uint8_t> data;
        if (args.size() - i < 2 || args.size() - i > 3)
            return UsageError(L"raw needs WORKTYPE DATASIZE [HEXBYTES]");
        if (!diagproto::ParseInt32(args[i], workType))
            return UsageError(L"bad WorkType \"" + args[i] + L"\"");
        if (!diagproto::ParseInt32(args[i + 1], dataSize))
            return UsageError(L"bad Data.Size \"" + args[i + 1] + L"\"");
        if (args.size() - i == 3 && !diagproto::ParseHex(args[i + 2], data))
            return UsageError(L"bad data bytes \"" + args[i + 2] + L"\"");
        request = diagproto::EncodeRequest(workType, dataSize, data);
    } else {
        return UsageError(L"unknown command \"" + command + L"\"");
    }

    std::wstring message;
    diagctl::Channel::CreateError error = diagctl::Channel::CreateError::None;
    auto channel = diagctl::Channel::Create(names, sectionSize, message, &error);
    if (!channel) {
        Write(stderr, L"diagctl: " + message + L"\n");
        return error == diagctl::Channel::CreateError::AlreadyExists ? diagproto::kExitChannelTaken
                                                                     : diagproto::kExitUsage;
    }
    if (request.size() > channel->Size())
        return UsageError(L"the request needs " + std::to_wstring(request.size()) + L" bytes; the section holds " +
                          std::to_wstring(channel->Size()));

    switch (channel->Post(request, timeoutMs)) {
    case diagctl::PostResult::TimedOut:
        Write(stderr, L"diagctl: no reply within " + std::to_wstring(timeoutMs) + L" ms\n");
        return diagproto::kExitTimeout;
    case diagctl::PostResult::Failed:
        Write(stderr, L"diagctl: cannot post the request (error " + std::to_wstring(GetLastError()) + L")\n");
        return diagproto::kExitUsage;
    case diagctl::PostResult::Replied:
        break;
    }
    const diagproto::Reply reply = channel->Reply();
    Write(stdout, diagproto::FormatReply(reply, workType == diagproto::kWorkTypeExportRegKeys ? &pairs : nullptr,
                                         ResultText(reply.ResultCode)));
    return diagproto::ExitCodeFor(reply, workType);
}
