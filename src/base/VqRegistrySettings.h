#pragma once
// The registry values the product reads, in one table: the key each is read
// from, its name, its type and its range. The trace configuration and the
// product language read their values by these entries, and the
// administrative template (packaging/ReRiruRuvazor.admx) is checked against
// the same table, so that the two cannot drift apart.
#include <windows.h>

#include "base/VqTraceConstants.h"

namespace VqBase {

inline constexpr wchar_t kTraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vqcc0\\Trace";
inline constexpr wchar_t kProductKey[] = L"SOFTWARE\\Brenmoor\\Orvanta";

// The keys a value is read from, as bits: the Trace key (under
// HKEY_LOCAL_MACHINE), a program's key below it (named after the program),
// the product family's key.
enum SettingKeys : unsigned {
    kInTraceKey = 1,
    kInProgramKey = 2,
    kInProductKey = 4,
};

struct RegistrySetting {
    const wchar_t* Name;
    unsigned Keys;
    DWORD Type;  // REG_DWORD or REG_SZ
    // A number's range, or a string's length in characters.
    DWORD Min;
    DWORD Max;
    // Offered by the administrative template.
    bool InTemplate;
};

inline constexpr DWORD kLongestSettingString = static_cast<DWORD>(kTracePathChars - 1);

inline constexpr RegistrySetting kEnableMask{L"EnableMask", kInTraceKey | kInProgramKey, REG_DWORD, 0, 0xFFFFFFFF, true};
inline constexpr RegistrySetting kParamsMask{L"ParamsMask", kInTraceKey | kInProgramKey, REG_DWORD, 0, 0xFFFFFFFF, true};
inline constexpr RegistrySetting kCommonFileFlag{L"CommonFileFlag", kInTraceKey | kInProgramKey, REG_DWORD, 0,
                                                 0xFFFFFFFF, true};
// 0 too: no bound. A bound below the minimum would rotate at every long line.
inline constexpr RegistrySetting kMaxFileSize{L"MaxFileSize", kInTraceKey | kInProgramKey, REG_DWORD, 4096,
                                              0xFFFFFFFF, true};
inline constexpr RegistrySetting kContextMask{L"ContextMask", kInProgramKey, REG_DWORD, 0, 0xFFFFFFFF, false};
inline constexpr RegistrySetting kCommonFileName{L"CommonFileName", kInProgramKey, REG_SZ, 1, kLongestSettingString,
                                                 false};
inline constexpr RegistrySetting kForceEnableMask{L"ForceEnableMask", kInTraceKey, REG_DWORD, 0, 0xFFFFFFFF, false};
inline constexpr RegistrySetting kForceParamsMask{L"ForceParamsMask", kInTraceKey, REG_DWORD, 0, 0xFFFFFFFF, false};
inline constexpr RegistrySetting kForceCommonFileFlag{L"ForceCommonFileFlag", kInTraceKey, REG_DWORD, 0, 0xFFFFFFFF,
                                                      false};
inline constexpr RegistrySetting kDisableContextFlag{L"DisableContextFlag", kInTraceKey, REG_DWORD, 0, 0xFFFFFFFF,
                                                     false};
inline constexpr RegistrySetting kTracePath{L"TracePath", kInTraceKey, REG_SZ, 1, kLongestSettingString, true};
// Five characters: a locale name such as en-US.
inline constexpr RegistrySetting kProductLocale{L"ProductLocale", kInProductKey, REG_SZ, 5, 5, true};

inline constexpr const RegistrySetting* kRegistrySettings[] = {
    &kEnableMask,      &kParamsMask,      &kCommonFileFlag,      &kMaxFileSize,        &kContextMask,
    &kCommonFileName,  &kForceEnableMask, &kForceParamsMask,     &kForceCommonFileFlag, &kDisableContextFlag,
    &kTracePath,       &kProductLocale,
};

}  // namespace VqBase
