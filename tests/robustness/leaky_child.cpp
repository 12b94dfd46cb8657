// A process that leaks on request, so that the soak test can show that its
// handle and memory probes see a leak in another process.
//   vq_leaky_child <event prefix> <handles per step> <KiB per step>
// Sets "<prefix>-ack" once started and after every step; each signal of
// "<prefix>-step" leaks the given number of event handles and KiB of
// committed heap. Ends when the parent terminates it or after a minute idle.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const std::wstring prefix = argv[1];
    const long handles = std::wcstol(argv[2], nullptr, 10);
    const long kib = std::wcstol(argv[3], nullptr, 10);
    HANDLE step = ::OpenEventW(SYNCHRONIZE, FALSE, (prefix + L"-step").c_str());
    HANDLE ack = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, (prefix + L"-ack").c_str());
    if (!step || !ack) return 3;
    ::SetEvent(ack);
    while (::WaitForSingleObject(step, 60000) == WAIT_OBJECT_0) {
        for (long i = 0; i < handles; ++i) ::CreateEventW(nullptr, TRUE, FALSE, nullptr);  // leaked on purpose
        for (long i = 0; i < kib; ++i) {
            void* block = ::HeapAlloc(::GetProcessHeap(), 0, 1024);  // leaked on purpose
            if (block) std::memset(block, 0x5A, 1024);
        }
        ::SetEvent(ack);
    }
    return 0;
}
