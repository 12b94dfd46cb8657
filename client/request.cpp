#include "request.h"

#include "base/VqAccessList.h"
#include "console.h"
#include "errortext.h"
#include "scm.h"
#include "usage.h"

namespace diagctl {
namespace {

bool IsRequestVerb(const std::wstring& arg) { return SameName(arg, L"export") || SameName(arg, L"raw"); }

}  // namespace

bool ParseRequest(const std::wstring& verb, const std::vector<std::wstring>& args, size_t& at, bool stopAtVerb,
                  bool allowUntrustedTarget, Request& request, RequestError& failure) {
    std::wstring& error = failure.Message;
    auto more = [&] { return at < args.size() && !(stopAtVerb && IsRequestVerb(args[at])); };
    request.Kind = verb;
    if (verb == L"export") {
        const std::vector<BYTE> self = VqBase::ProcessUserSid();
        for (; more(); ++at) {
            diagproto::ExportPair pair;
            if (!diagproto::ParsePair(args[at], pair)) {
                error = L"bad pair \"" + args[at] + L"\" (KEY=FILE)";
                return false;
            }
            // Judged and held before anything is posted: reg.exe writes as
            // the service's account, through whatever it finds at FILE.
            auto target = std::make_unique<ExportTarget>();
            const ExportTarget::Verdict verdict = target->Judge(pair.File, self, allowUntrustedTarget);
            if (verdict == ExportTarget::Refused ||
                (verdict == ExportTarget::Untrusted && !allowUntrustedTarget)) {
                failure.TargetRefused = true;
                error = L"refused \"" + pair.File + L"\": " + target->Reason();
                if (verdict == ExportTarget::Untrusted)
                    error += L"; the service writes as LocalSystem, and others could redirect the write "
                             L"(--allow-untrusted-target writes there all the same)";
                return false;
            }
            if (verdict == ExportTarget::Untrusted)
                Err(L"diagctl: warning: \"" + pair.File + L"\": " + target->Reason() +
                    L"; written as LocalSystem all the same (--allow-untrusted-target)\n");
            // The service would resolve a relative file against its own
            // current directory, the system's: it gets the path judged.
            pair.File = target->Posted();
            request.Pairs.push_back(pair);
            request.Targets.push_back(std::move(target));
        }
        if (request.Pairs.empty()) {
            error = L"export needs at least one KEY=FILE pair";
            return false;
        }
        request.WorkType = diagproto::kWorkTypeExportRegKeys;
        request.Bytes = diagproto::EncodeExport(request.Pairs);
        return true;
    }
    if (verb == L"quit") {
        if (more()) {
            error = L"quit takes no arguments";
            return false;
        }
        request.WorkType = diagproto::kWorkTypeQuit;
        request.Bytes = diagproto::EncodeQuit();
        return true;
    }
    if (verb == L"raw") {
        std::vector<std::wstring> fields;
        for (; more() && fields.size() < 3; ++at)
            fields.push_back(args[at]);
        if (fields.size() < 2 || (!stopAtVerb && more())) {
            error = L"raw needs WORKTYPE DATASIZE [HEXBYTES]";
            return false;
        }
        std::int32_t dataSize = 0;
        std::vector<std::uint8_t> data;
        if (!diagproto::ParseInt32(fields[0], request.WorkType)) {
            error = L"bad WorkType \"" + fields[0] + L"\"";
            return false;
        }
        if (!diagproto::ParseInt32(fields[1], dataSize)) {
            error = L"bad Data.Size \"" + fields[1] + L"\"";
            return false;
        }
        if (fields.size() == 3 && !diagproto::ParseHex(fields[2], data)) {
            error = L"bad data bytes \"" + fields[2] + L"\"";
            return false;
        }
        request.Bytes = diagproto::EncodeRequest(request.WorkType, dataSize, data);
        return true;
    }
    error = L"\"" + verb + L"\" is no request (export, quit, raw)";
    return false;
}

int ReportRequestError(const std::wstring& verb, const RequestError& error) {
    if (!error.TargetRefused)
        return UsageError(verb, error.Message);
    Err(L"diagctl: " + error.Message + L"\n");
    return diagproto::kExitTargetRefused;
}

int ReportChannelFailure(const ChannelNames& names, std::wstring message, Channel::CreateError kind,
                         DWORD lastError) {
    if (kind == Channel::CreateError::Squatted) {
        Err(L"diagctl: " + message + L"\n");
        return diagproto::kExitChannelTaken;
    }
    if (kind == Channel::CreateError::AlreadyExists) {
        const std::wstring hint = IsProductChannel(names) ? ChannelHolderHint() : std::wstring();
        Err(L"diagctl: " + message + L"\n" + (hint.empty() ? std::wstring() : L"diagctl: " + hint + L"\n"));
        return diagproto::kExitChannelTaken;
    }
    if (lastError == 0) {
        Err(L"diagctl: " + message + L"\n");
        return diagproto::kExitFailed;
    }
    // The message may end in the bare number; the number comes once, with its text.
    const std::wstring bare = L" (error " + std::to_wstring(lastError) + L")";
    if (message.size() >= bare.size() && message.compare(message.size() - bare.size(), bare.size(), bare) == 0)
        message.erase(message.size() - bare.size());
    Err(L"diagctl: " + message + L": " + DescribeError(lastError) + L"\n");
    return diagproto::ExitCodeForError(lastError);
}

int RunRequest(Channel& channel, const Request& request, DWORD timeoutMs, RequestRun* run,
               const ServerWatch* watch) {
    RequestRun own;
    RequestRun& done = run != nullptr ? *run : own;
    done.Posted = channel.Post(request.Bytes, timeoutMs, watch);
    // Without a reply, the JSON says why as the message on the standard error does.
    auto failed = [&](const std::wstring& why, int code) {
        Err(L"diagctl: " + why + L"\n");
        done.Json = JsonObject()
                        .String(L"kind", L"reply")
                        .String(L"request", request.Kind)
                        .Bool(L"replied", false)
                        .String(L"failure", why)
                        .Number(L"exitCode", static_cast<DWORD>(code));
        return code;
    };
    switch (done.Posted) {
    case PostResult::ServerEnded:
        return failed(L"no reply: the service ended before it answered", diagproto::kExitFailed);
    case PostResult::TimedOut:
        return failed(L"no reply within " + std::to_wstring(timeoutMs) + L" ms", diagproto::kExitTimeout);
    case PostResult::OutOfStep:
        return failed(L"not posted: an earlier request got no reply in time, and its late reply could not be "
                      L"told from this one's",
                      diagproto::kExitTimeout);
    case PostResult::Failed: {
        const DWORD error = GetLastError();
        return failed(FailureMessage(L"posting the request", error), diagproto::ExitCodeForError(error));
    }
    case PostResult::Replied:
        break;
    }
    const diagproto::Reply received = channel.Reply();
    // A result is a Win32 code; 0 has a text too ("success").
    const bool isExport = request.WorkType == diagproto::kWorkTypeExportRegKeys;
    Out(diagproto::FormatReply(received, isExport ? &request.Pairs : nullptr,
                               ErrorText(static_cast<DWORD>(received.ResultCode))));
    // A result of 0 says only that the service ran every pair; the pairs'
    // own codes say whether each export worked.
    if (isExport) {
        Out(diagproto::FormatPairSummary(received, request.Pairs,
                                         [](std::uint32_t code) { return ErrorText(static_cast<DWORD>(code)); }));
        std::wstring settled;
        for (size_t i = 0; i < request.Targets.size() && i < received.Values.size(); ++i)
            settled += request.Targets[i]->Settle(received.Values[i]);
        Out(settled);
    }
    const int code = diagproto::ExitCodeFor(received, request.WorkType);
    done.Reply = received;
    done.Json = ReplyJson(request, received, code);
    return code;
}

JsonObject ReplyJson(const Request& request, const diagproto::Reply& reply, int exitCode) {
    const auto result = static_cast<DWORD>(reply.ResultCode);
    JsonObject json;
    json.String(L"kind", L"reply").String(L"request", request.Kind).Bool(L"replied", true);
    json.Object(L"result", CodeJson(result, ErrorText(result)));
    json.Signed(L"dataSize", reply.DataSize).Bool(L"dataSizeValid", reply.DataSizeValid);
    const bool isExport = request.WorkType == diagproto::kWorkTypeExportRegKeys;
    std::vector<std::wstring> items;
    size_t failed = 0;
    for (size_t i = 0; i < reply.Values.size(); ++i) {
        const std::uint32_t value = reply.Values[i];
        if (!isExport || i >= request.Pairs.size()) {
            items.push_back(std::to_wstring(value));
            continue;
        }
        failed += value != 0 ? 1 : 0;
        items.push_back(JsonObject()
                            .String(L"key", request.Pairs[i].Key)
                            .String(L"file", request.Pairs[i].File)
                            .Object(L"exitCode", CodeJson(value, diagproto::PairCodeMeaning(value, ErrorText(value))))
                            .Text());
    }
    if (isExport)
        json.Raw(L"pairs", JsonArray(items)).Number(L"failedPairs", failed);
    else
        json.Raw(L"values", JsonArray(items));
    return json.Number(L"exitCode", static_cast<DWORD>(exitCode));
}

}  // namespace diagctl
