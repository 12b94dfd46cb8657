#pragma once
// The product's own error codes, as VqError.dll's message table defines them
// (VqMessages.mc). Every code has both bits of 0x06000000 set, so the error
// text lookup reads its description from VqError.dll; without that module the
// description is the numeric text.
#include <windows.h>

namespace VqMessages {

inline constexpr DWORD VQ_E_WORK_CHANNEL_NOT_OPEN = 0xC6000001;
inline constexpr DWORD VQ_E_MALFORMED_WORK_REQUEST = 0xC6000002;
inline constexpr DWORD VQ_E_REGISTRY_EXPORT_FAILED = 0xC6000003;
inline constexpr DWORD VQ_E_TRACE_CONFIG_UNREADABLE = 0xC6000004;

inline constexpr DWORD kProductCodes[] = {
    VQ_E_WORK_CHANNEL_NOT_OPEN,
    VQ_E_MALFORMED_WORK_REQUEST,
    VQ_E_REGISTRY_EXPORT_FAILED,
    VQ_E_TRACE_CONFIG_UNREADABLE,
};

}  // namespace VqMessages
