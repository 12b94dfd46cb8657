#pragma once
// trace off and trace on: the levels of the program key are kept aside in a
// value the service never reads, so that trace on brings back exactly what
// trace off found (a number, a value of another type that counts as absent,
// or no value at all, when the Trace key's EnableMask applied).
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace diagctl {

// The program key's value that holds what trace off found in EnableMask.
inline constexpr wchar_t kKeptLevelsValue[] = L"EnableMaskBeforeOff";

// EnableMask of the program key as trace off found it: its type and bytes,
// or Absent.
struct KeptLevels {
    bool Absent = false;
    DWORD Type = REG_NONE;
    std::vector<BYTE> Bytes;
};

// What trace off kept, when it did.
std::optional<KeptLevels> ReadKeptLevels();

// Keeps EnableMask of the program key as it is now, unless it is 0 while
// levels are kept already (a second trace off keeps the first one's).
// 0, or the failed registry call's error, with what in failed.
LSTATUS KeepLevels(std::wstring& failed);

// Writes the kept EnableMask back (or deletes EnableMask when there was
// none) and forgets it. 0, or the error, with what in failed.
LSTATUS BringBackLevels(const KeptLevels& kept, std::wstring& failed);

// Levels chosen anew (trace set --levels): nothing is left to bring back.
void ForgetKeptLevels();

}  // namespace diagctl
