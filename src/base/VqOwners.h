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

// Holders of a slim reader/writer lock for a scope: released on every way
// out, an exception's included.
class SharedLock {
public:
    explicit SharedLock(SRWLOCK& lock) : m_Lock(lock) { ::AcquireSRWLockShared(&m_Lock); }
    ~SharedLock() { ::ReleaseSRWLockShared(&m_Lock); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    SRWLOCK& m_Lock;
};

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : m_Lock(lock) { ::AcquireSRWLockExclusive(&m_Lock); }
    ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&m_Lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& m_Lock;
};

}  // namespace VqBase
