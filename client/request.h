#pragma once
// One request over the work channel, for the one-shot verbs and the
// session: reading it from the command line, posting it, printing the reply.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channel.h"
#include "diagproto.h"
#include "target.h"
#include "json.h"

namespace diagctl {

struct Request {
    std::wstring Kind;  // export, quit or raw
    std::vector<std::uint8_t> Bytes;
    std::int32_t WorkType = 0;
    std::vector<diagproto::ExportPair> Pairs;  // for an export
    // One per pair, judged and held from the reading of the command line
    // until the request is gone.
    std::vector<std::unique_ptr<ExportTarget>> Targets;
};

// What was wrong with a request on the command line: a wrong command line,
// or an export FILE refused (TargetRefused), which is no usage error.
struct RequestError {
    std::wstring Message;
    bool TargetRefused = false;
};

// Reads a request of kind verb ("export", "quit" or "raw") from args,
// starting at args[at]. Reads to the end of args, or, with stopAtVerb, up
// to the next "export" or "raw". False with what was wrong in error. Each
// export FILE is judged and held (ExportTarget); one that others could
// change or redirect is refused, or with allowUntrustedTarget taken with a
// warning.
bool ParseRequest(const std::wstring& verb, const std::vector<std::wstring>& args, size_t& at, bool stopAtVerb,
                  bool allowUntrustedTarget, Request& request, RequestError& error);

// Says what was wrong: a refused target with its reason and no usage
// (kExitTargetRefused), else as UsageError. Returns the exit code.
int ReportRequestError(const std::wstring& verb, const RequestError& error);

// Reports a channel that Channel::Create refused (message and kind as it
// returned them; lastError as the thread had it then) and returns diagctl's
// exit code. Names that exist because the installed service holds them are
// said to be so; a squatted name is named as such.
int ReportChannelFailure(const ChannelNames& names, std::wstring message, Channel::CreateError kind,
                         DWORD lastError);

// What one post came to: the reply, when there was one, and the whole run
// as one JSON object of the kind "reply".
struct RequestRun {
    diagproto::Reply Reply;
    PostResult Posted = PostResult::Failed;
    JsonObject Json;
};

// Posts the request, waits up to timeoutMs and prints the reply; returns
// diagctl's exit code for it. run (may be null) receives what it came to;
// watch (may be null) is handed to Channel::Post.
int RunRequest(Channel& channel, const Request& request, DWORD timeoutMs, RequestRun* run = nullptr,
               const ServerWatch* watch = nullptr);

// The reply to request as JSON: the result with its text, and for an export
// each pair with its exit code and what it means.
JsonObject ReplyJson(const Request& request, const diagproto::Reply& reply, int exitCode);

}  // namespace diagctl
