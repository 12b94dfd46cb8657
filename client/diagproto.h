#pragma once
// The bytes of the work channel as diagctl and the tests see them: request
// encoding, reply decoding and the readable form of a reply. No kernel
// objects here.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace diagproto {

inline constexpr std::int32_t kWorkTypeQuit = 0;
inline constexpr std::int32_t kWorkTypeExportRegKeys = 1;
// WorkType and Data.Size; the data follow.
inline constexpr std::size_t kHeaderSize = 8;

struct ExportPair {
    std::wstring Key;
    std::wstring File;
};

// The record header followed by data, as it is written at offset 0.
std::vector<std::uint8_t> EncodeRequest(std::int32_t workType, std::int32_t dataSize,
                                        const std::vector<std::uint8_t>& data);
std::vector<std::uint8_t> EncodeQuit();
// Key 1, File 1, ... as NUL-terminated UTF-16LE strings closed by an empty
// string; Data.Size is the list's length in bytes.
std::vector<std::uint8_t> EncodeExport(const std::vector<ExportPair>& pairs);
std::vector<std::uint8_t> EncodePairList(const std::vector<ExportPair>& pairs);

// "KEY=FILE", split at the first '='; both sides must be non-empty.
bool ParsePair(const std::wstring& text, ExportPair& pair);
// Hexadecimal bytes, optionally separated by blanks, commas or colons.
bool ParseHex(const std::wstring& text, std::vector<std::uint8_t>& bytes);
// A decimal or 0x-prefixed 32-bit value, signed or unsigned ("-4", "0x7FFFFFFF");
// no blank and no plus sign before it.
bool ParseInt32(const std::wstring& text, std::int32_t& value);

struct Reply {
    std::int32_t ResultCode = 0;
    std::int32_t DataSize = 0;
    // Data.Size / 4 values when Data.Size is a multiple of 4 that fits in the
    // section; empty otherwise.
    std::vector<std::uint32_t> Values;
    bool DataSizeValid = false;
};

// Reads the reply record at record without reading past size bytes.
Reply DecodeReply(const void* record, std::size_t size);

// The reply in readable lines. pairs (may be null) names the keys and files
// of an export request; resultText describes the result code.
std::wstring FormatReply(const Reply& reply, const std::vector<ExportPair>* pairs, const std::wstring& resultText);

// diagctl's own process exit codes. Each carries bit 29, which Windows
// reserves for application-defined codes and no Win32 error has, so that
// none of them equals a Win32 error that diagctl returns unchanged when a
// system call fails.
inline constexpr int kOwnExitCodeBit = 0x20000000;
enum ExitCode : int {
    kExitSuccess = 0,                         // result 0 and, for an export, every reg.exe exit code 0
    kExitUsage = kOwnExitCodeBit | 1,         // a wrong command line
    kExitRefused = kOwnExitCodeBit | 2,       // result 13: the service refused the request
    kExitFailed = kOwnExitCodeBit | 3,        // any other result code, an export whose reg.exe failed, a
                                              // service that ended during a session's request without a
                                              // reply, or one that did not end with 0 and 0
    kExitTimeout = kOwnExitCodeBit | 4,       // no reply within the time-out
    kExitChannelTaken = kOwnExitCodeBit | 5,  // one of the three names exists already
    kExitTargetRefused = kOwnExitCodeBit | 7,  // an export FILE refused before anything was posted
    kExitStoppedAfterFailure = kOwnExitCodeBit | 8,  // status: stopped, exit codes other than 0/0 and 1077/0
    kExitCollectIncomplete = kOwnExitCodeBit | 9,    // collect: some pieces could not be collected
    kExitUntrustedExecutable = kOwnExitCodeBit | 0xA,  // install refused: an executable in a place others may change
    kExitPackageRegistration = kOwnExitCodeBit | 0xB,  // uninstall refused: a registration the package made
};

// The exit code for a failed system call: its Win32 error, unchanged; an
// error that could pass for one of diagctl's own codes (0, or bit 29 set)
// becomes kExitFailed.
int ExitCodeForError(unsigned long error);

int ExitCodeFor(const Reply& reply, std::int32_t requestType);

// What a pair's exit code usually means, as the service reports it: reg.exe's
// own codes (1), the service's 995, or else the error that kept reg.exe from
// starting or ended it, whose text errorText holds. Empty for 0.
std::wstring PairCodeMeaning(std::uint32_t code, const std::wstring& errorText);
// "N of M pairs failed", then one line per failed pair with its meaning;
// empty when none failed. errorText gives a code's text.
std::wstring FormatPairSummary(const Reply& reply, const std::vector<ExportPair>& pairs,
                               const std::function<std::wstring(std::uint32_t)>& errorText);

}  // namespace diagproto
