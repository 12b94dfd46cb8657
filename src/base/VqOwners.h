#pragma once
// Owners of the kernel handles and memory blocks the trace and the access
// checks hold. They close without a trace line: the trace itself uses them.
#include <windows.h>

#include <memory>

namespace VqBase {

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// A process heap block (a descriptor built by BuildSecurityDescriptor).
struct HeapFreer {
    void operator()(void* block) const {
        if (block) ::HeapFree(::GetProcessHeap(), 0, block);
    }
};

// A block the system allocated with LocalAlloc (a descriptor that
// GetSecurityInfo returned).
struct LocalFreer {
    void operator()(void* block) const {
        if (block) ::LocalFree(block);
    }
};

}  // namespace VqBase
