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

// The event log's messages: the IDs the service reports events with.
inline constexpr DWORD VQ_EVENT_CHANNEL_MISSING = 0xC6000101;
inline constexpr DWORD VQ_EVENT_CHANNEL_REFUSED = 0x86000102;
inline constexpr DWORD VQ_EVENT_START_PARAMETERS_REFUSED = 0x86000103;
inline constexpr DWORD VQ_EVENT_REQUEST_REFUSED = 0x86000104;
inline constexpr DWORD VQ_EVENT_REQUESTS_REFUSED_COUNT = 0x86000105;
inline constexpr DWORD VQ_EVENT_REG_EXE_NOT_STARTED = 0xC6000106;
inline constexpr DWORD VQ_EVENT_TRACE_FILE_REFUSED = 0x86000107;
inline constexpr DWORD VQ_EVENT_TRACE_FALLBACK = 0x86000108;
inline constexpr DWORD VQ_EVENT_TRACE_PLANT_MOVED = 0x86000109;
inline constexpr DWORD VQ_EVENT_TRACE_PLANTS_COUNT = 0x8600010A;
inline constexpr DWORD VQ_EVENT_TRACE_ROTATION_BLOCKED = 0x8600010B;
inline constexpr DWORD VQ_EVENT_SIGNAL_DURING_REQUEST = 0x86000110;

inline constexpr DWORD kProductCodes[] = {
    VQ_E_WORK_CHANNEL_NOT_OPEN,
    VQ_E_MALFORMED_WORK_REQUEST,
    VQ_E_REGISTRY_EXPORT_FAILED,
    VQ_E_TRACE_CONFIG_UNREADABLE,
    VQ_EVENT_CHANNEL_MISSING,
    VQ_EVENT_CHANNEL_REFUSED,
    VQ_EVENT_START_PARAMETERS_REFUSED,
    VQ_EVENT_REQUEST_REFUSED,
    VQ_EVENT_REQUESTS_REFUSED_COUNT,
    VQ_EVENT_REG_EXE_NOT_STARTED,
    VQ_EVENT_TRACE_FILE_REFUSED,
    VQ_EVENT_TRACE_FALLBACK,
    VQ_EVENT_TRACE_PLANT_MOVED,
    VQ_EVENT_TRACE_PLANTS_COUNT,
    VQ_EVENT_TRACE_ROTATION_BLOCKED,
    VQ_EVENT_SIGNAL_DURING_REQUEST,
};

}  // namespace VqMessages
