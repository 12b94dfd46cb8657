#include "process_probe.h"

#include <psapi.h>

#include <vector>

namespace robustness {

namespace {

// Layouts of the two system information classes (documented in the
// platform's headers only in part; these are the long-standing x64 layouts).
struct HandleEntry {
    USHORT ProcessId;
    USHORT CreatorBackTraceIndex;
    UCHAR ObjectTypeIndex;
    UCHAR Attributes;
    USHORT Value;
    PVOID Object;
    ULONG GrantedAccess;
};
struct HandleTable {
    ULONG Count;
    HandleEntry Entries[1];
};
struct HandleEntryEx {
    PVOID Object;
    ULONG_PTR ProcessId;
    ULONG_PTR Value;
    ULONG GrantedAccess;
    USHORT CreatorBackTraceIndex;
    USHORT ObjectTypeIndex;
    ULONG Attributes;
    ULONG Reserved;
};
struct HandleTableEx {
    ULONG_PTR Count;
    ULONG_PTR Reserved;
    HandleEntryEx Entries[1];
};

constexpr ULONG kSystemHandleInformation = 16;
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

QuerySystemInformation Query() {
    static const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    return query;
}

// The table of the class into buffer; false when it cannot be read.
bool ReadTable(ULONG infoClass, std::vector<unsigned char>& buffer) {
    auto query = Query();
    if (!query) return false;
    if (buffer.size() < 0x10000) buffer.resize(0x10000);
    for (int attempt = 0; attempt < 16; ++attempt) {
        ULONG needed = 0;
        LONG status = query(infoClass, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kStatusInfoLengthMismatch) {
            // The table grows between calls; leave room for that.
            buffer.resize(needed > buffer.size() ? needed + 0x4000 : buffer.size() * 2);
            continue;
        }
        return status >= 0;
    }
    return false;
}

}  // namespace

long CountProcessHandles(DWORD processId) {
    std::vector<unsigned char> buffer;
    if (ReadTable(kSystemExtendedHandleInformation, buffer)) {
        const auto* table = reinterpret_cast<const HandleTableEx*>(buffer.data());
        long count = 0;
        for (ULONG_PTR i = 0; i < table->Count; ++i)
            if (table->Entries[i].ProcessId == processId) ++count;
        return count;
    }
    // The short table carries 16-bit process identifiers only.
    if (processId <= 0xFFFF && ReadTable(kSystemHandleInformation, buffer)) {
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        long count = 0;
        for (ULONG i = 0; i < table->Count; ++i)
            if (table->Entries[i].ProcessId == processId) ++count;
        return count;
    }
    return -1;
}

std::int64_t PrivateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return -1;
    return static_cast<std::int64_t>(counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage);
}

}  // namespace robustness
