#pragma once
// The service: its status record, the work channel shared with the
// diagnostic tool, the dispatch of work requests and the work functions.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/interprocess-communication.h"

inline constexpr wchar_t kServiceName[] = L"ReRiruRuvazor";
inline constexpr wchar_t kSectionName[] = L"Global\\{DBEC3D35-8097-4FA7-BD48-ED5330D86466}";
inline constexpr wchar_t kDoWorkEventName[] = L"Global\\{7B5FC5AC-4696-48A5-B343-5FD4C8E62BDA}";
inline constexpr wchar_t kWorkDoneEventName[] = L"Global\\{5F9DEF18-8998-4102-B61E-9D6D9C2338E2}";

// The privileges the service keeps; it removes every other one from its
// token before it serves a request, and the service control manager is told
// the same list. Reading a key is judged by its ACL, writing a file by the
// directory's, so reg.exe export needs none; SeChangeNotifyPrivilege
// (bypass traverse checking) lets a path be walked through directories that
// grant no traverse right, and Windows never removes it from a service.
inline constexpr const wchar_t* kKeptPrivileges[] = {L"SeChangeNotifyPrivilege"};

// The work record at offset 0 of the shared section; the same bytes carry
// the request and then the reply. Data follow from offset 8.
struct WorkItem {
    std::int32_t WorkType;  // request kind; the result code in the reply
    struct {
        std::int32_t Size;
    } Data;
};
static_assert(sizeof(WorkItem) == 8, "the work record header is 8 bytes");

enum : std::int32_t {
    WorkType_Quit = 0,
    WorkType_ExportRegKeys = 1,
};

// One key and file pair of an ExportRegKeys request (both inside the section).
struct RegSaveInfo {
    const wchar_t* Key;
    const wchar_t* File;
};

struct ExitCode {
    DWORD Win32ExitCode;
    DWORD ServiceSpecificExitCode;
};

class DiagService {
public:
    // The channel's object names; the product's by default, a test's own in
    // unit tests.
    struct ChannelNames {
        std::wstring Section = kSectionName;
        std::wstring DoWork = kDoWorkEventName;
        std::wstring WorkDone = kWorkDoneEventName;
    };

    // Starts one reg.exe command line suspended (CREATE_SUSPENDED), so that the
    // service puts it into its job before it runs a line; the product's is
    // CreateProcessW of the system directory's reg.exe with CREATE_NO_WINDOW.
    // Returns false with the thread's last error set when the process did not
    // start.
    using ProcessStarter = std::function<bool(wchar_t* commandLine, PROCESS_INFORMATION* info)>;

    class Status {
    public:
        Status();
        Status& operator=(SERVICE_STATUS_HANDLE handle);
        bool Update(DWORD state);
        bool Update(DWORD state, const ExitCode& exitCode);

        SERVICE_STATUS m_Status;
        SERVICE_STATUS_HANDLE m_Handle;
    };

    class SharedSection {
    public:
        explicit SharedSection(const wchar_t* name = kSectionName);
        ~SharedSection();
        SharedSection(const SharedSection&) = delete;
        SharedSection& operator=(const SharedSection&) = delete;

        // Bytes of committed, writable memory from the start of the view: a
        // section whose pages are only reserved faults where they are read.
        size_t CommittedBytes() const;

        void* pView;
        HANDLE m_hMapping;
    };

    class Events {
    public:
        Events(const wchar_t* doWorkName = kDoWorkEventName, const wchar_t* workDoneName = kWorkDoneEventName);
        int WaitForWork();
        bool SetWorkDone();
        // Takes back a do-work signal that came while a request was handled,
        // so that the reply is not read as the next request; true when there
        // was one.
        bool ConsumeSignal();

        Common::Event m_DoWork;
        Common::Event m_WorkDone;
    };

    // The access step: only a channel that LocalSystem or the Administrators
    // made, and that nobody else may change, is served.
    // What the administrator must hear of, in the Application event log:
    // once per kind and object per process (VqBase::CEventLog).
    struct Report {
        // Before the process ends in its static construction: the service
        // control manager never hears why.
        static void ChannelMissing(const wchar_t* name, DWORD error);
        static void ChannelRefused(const std::wstring& name, const void* owner, const std::wstring& reason);
        static void StartParametersRefused(DWORD argc, LPWSTR* argv);
        static void RequestRefused(std::int32_t workType, std::int32_t size);
        // A do-work signal that came while a request of workType ran.
        static void SignalDuringRequest(std::int32_t workType);
        // At the stop: how many refused requests and signals during a
        // request there were, when more than one.
        static void RefusedRequestCount();
        static void RegExeNotStarted(const wchar_t* key, DWORD error);
        static void RegExeNotContained(const wchar_t* key, DWORD error);
        static void PrivilegesNotRemoved(const std::wstring& step, DWORD error);
    };

    // What the service gives up before it serves a request, for good: every
    // privilege but kKeptPrivileges, code from places the process does not
    // trust, and exports that outlive it.
    struct Hardening {
        // The names in held that are not kept, in their order.
        static std::vector<std::wstring> PrivilegesToRemove(const std::vector<std::wstring>& held);
        struct Trimmed {
            DWORD Error = 0;   // 0: every privilege but the kept ones is gone
            std::wstring Step;  // what failed, for the report
            std::vector<std::wstring> Removed;
        };
        // Removes from token (TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES) every
        // privilege not kept, with SE_PRIVILEGE_REMOVED: a disabled one could
        // be enabled again by whatever runs in the process.
        static Trimmed TrimPrivileges(HANDLE token);
        static Trimmed TrimOwnPrivileges();

        // One process mitigation policy as it is requested.
        struct Mitigation {
            PROCESS_MITIGATION_POLICY Policy;
            DWORD Flags;  // the policy structure's flags
        };
        // Image loads: no remote images, no low-label images, System32
        // before the application directory; extension points (AppInit DLLs,
        // window hooks, IMEs) disabled. Strict handle checks are not among
        // them: a latent bad handle would end the service on Windows.
        static std::vector<Mitigation> Mitigations();
        // DLLs come from System32 and the program's directory only.
        static constexpr DWORD kDllDirectories = LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_APPLICATION_DIR;
        using MitigationSetter = std::function<bool(PROCESS_MITIGATION_POLICY policy, const void* buffer, size_t size)>;
        using DllDirectorySetter = std::function<bool(DWORD flags)>;
        // Requests every mitigation and the DLL directories through the
        // setters (the logged wrappers by default); a refused one is traced
        // and the rest go on. Returns how many were refused.
        static unsigned ApplyMitigations(const MitigationSetter& setPolicy = {},
                                         const DllDirectorySetter& setDirectories = {});

        // A job object whose processes end when its last handle closes (so
        // with the service's process, however it ends) and end at an
        // unhandled exception instead of waiting for an error report. Holds
        // null, with the last error set, when it cannot be made.
        static auto_close::handle CreateExportJob();
    };

    struct CheckAccess {
        enum class ObjectKind { Section, Event };
        // Why an object's security cannot be trusted ("owner S-1-5-32-545",
        // "no DACL", "S-1-1-0 may write (00000002)"); empty when it can. The
        // owner must be LocalSystem or Administrators, and the DACL may grant
        // write-type access (generic rights mapped for the kind; on an event,
        // SYNCHRONIZE too) to those two only.
        static std::wstring Judge(const void* owner, const ACL* dacl, ObjectKind kind);
        static bool Do(const DiagService& service);
        static bool IsSystem(const DiagService& service);
    };

    // The product's channel and launcher. (A default argument of type
    // ChannelNames is not accepted by gcc inside the class.)
    DiagService() : DiagService(ChannelNames{}) {}
    explicit DiagService(const ChannelNames& names, ProcessStarter starter = {});
    DiagService(const DiagService&) = delete;
    DiagService& operator=(const DiagService&) = delete;

    // --- service lifecycle ---
    static bool StartDispatcher();
    static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
    static void WINAPI ControlHandler(DWORD code);
    static bool CheckArgs(DWORD argc, LPWSTR* argv);
    bool Stop(const ExitCode& exitCode);

    // The process's one instance. It, the three callbacks above and
    // StartDispatcher live with the entry point, so that programs linking
    // this library without being the service never build the instance.
    static DiagService& Instance();

    // The body of ServiceMain: start-up steps, the work loop and the stop;
    // handler is what gets registered for controls. Never throws.
    void Run(DWORD argc, LPWSTR* argv, LPHANDLER_FUNCTION handler);
    // The body of ControlHandler.
    void OnControl(DWORD code);
    // Where errors stop on the platform's threads (the service thread and the
    // control handler): runs body; an error object or exception that leaves
    // it is traced at TL_ERROR under function (the object's dump) and
    // answered with its code (ERROR_INTERNAL_ERROR for anything else); 0 when
    // nothing escaped.
    static DWORD Guard(const wchar_t* function, const std::function<void()>& body) noexcept;
    // After the dispatcher has returned: waits until the service thread has
    // left Run. False when it never will, because a stop left it waiting for
    // work; the channel must then stay open until the process ends.
    bool WaitForServiceThread(DWORD milliseconds);

    // How long a request in progress may still run after STOP or SHUTDOWN
    // before its export processes are terminated.
    DWORD m_StopGraceMs = 5000;

    // --- work dispatch ---
    // Each takes the request's header as read once when the request arrived;
    // the forms without it read the header from the section themselves.
    bool MainLogic();
    bool MainLogic(const WorkItem& request);
    bool WorkFunc_Quit();
    bool WorkFunc_Quit(const WorkItem& request);
    bool WorkFunc_ExportRegKeys();
    bool WorkFunc_ExportRegKeys(const WorkItem& request);

    WorkItem* Item() const { return static_cast<WorkItem*>(m_SharedSection.pView); }
    // Copies the record's header out of the section; false (nothing read)
    // when the view's first page is not committed memory.
    bool ReadRequest(WorkItem& request) const;
    // A do-work signal that came while request was handled would wake the
    // loop on the reply itself: it is taken back, traced and reported. True
    // when there was one.
    bool TakeBackSignal(const WorkItem& request);
    // The result code of the last reply written, as the service wrote it.
    std::int32_t LastResult() const { return m_Result; }

    // --- the ExportRegKeys pieces that need no kernel object ---

    // The verdict on a pair list read from a bounded buffer, with the service's
    // own copy of its strings: the tool may rewrite the section at any time,
    // so nothing after the scan reads the section again.
    struct PairList {
        enum Verdict { Complete, NoPair, NotClosed };
        PairList() = default;
        PairList(PairList&&) = default;
        PairList& operator=(PairList&&) = default;
        // Pairs point into Text: a copy would point into the original.
        PairList(const PairList&) = delete;
        PairList& operator=(const PairList&) = delete;

        Verdict verdict = Complete;
        std::vector<wchar_t> Text;       // the strings as copied, NULs included
        std::vector<RegSaveInfo> Pairs;  // the complete pairs, in request order, inside Text
    };
    // Copies the NUL-separated key and file strings at data, at most units code
    // units, up to the closing empty string; each unit is read once, and
    // nothing past data + units is read.
    static PairList ScanPairList(const wchar_t* data, size_t units);
    // One command-line argument between double quotes that CommandLineToArgvW
    // and the C runtime turn back into exactly text.
    static std::wstring QuoteArgument(const wchar_t* text);
    // "reg.exe export <key> <file> /y" with both arguments quoted.
    static std::wstring ExportCommandLine(const RegSaveInfo& info);
    // The product's launcher: CreateProcessW of application (the full path of
    // reg.exe, so that no search path decides what runs) with
    // CREATE_NO_WINDOW and CREATE_SUSPENDED.
    static bool StartProcess(const std::wstring& application, wchar_t* commandLine, PROCESS_INFORMATION* info);
    // reg.exe of the system directory; empty when that cannot be read.
    static std::wstring SystemRegExe();

    // At most this many export processes run at once: the platform's limit
    // for one wait.
    static constexpr size_t kMaxRunningExports = MAXIMUM_WAIT_OBJECTS;

    // --- orderly stop (m_StopRequested below) ---

    // Terminates every export process that is running now (exit code 995) and
    // any started later, so that a pending export request completes. Safe to
    // call from any thread.
    void AbortExports();

    Status m_Status;
    SharedSection m_SharedSection;
    Events m_Events;
    const ChannelNames m_Names;

    // Set when the service is asked to stop: a running export request starts
    // no further pair and reports the pairs left over as 995.
    std::atomic<bool> m_StopRequested{false};

private:
    struct ExportEntry;
    void RegisterExport(ExportEntry& entry);
    void UnregisterExport(ExportEntry& entry);
    bool WasAborted(const ExportEntry& entry);

    void Reply(WorkItem* item, std::int32_t result, std::int32_t size);
    // The answer to a request whose header cannot be read: false, result 13;
    // function names the reader in the trace line.
    bool RefuseUnreadable(const wchar_t* function);

    ProcessStarter m_StartProcess;
    // Every export process runs in it; null (with m_ExportJobError) when it
    // could not be made, and then no export process is started.
    auto_close::handle m_ExportJob{nullptr, nullptr};
    DWORD m_ExportJobError = 0;
    std::int32_t m_Result = 0;  // service thread only
    std::mutex m_ExportLock;
    std::vector<ExportEntry*> m_RunningExports;  // guarded by m_ExportLock
    bool m_ExportsAborted = false;               // guarded by m_ExportLock

    // --- lifecycle coordination between the service thread and the handler ---
    enum class LoopState { NotStarted, Starting, Idle, Busy, Stopping, Abandoned, Ended };
    void RunSteps(DWORD argc, LPWSTR* argv, LPHANDLER_FUNCTION handler);
    void EndLoop(ExitCode exitCode);
    void WatchStop();

    std::mutex m_LoopLock;  // orders status reports and the loop state
    std::condition_variable m_LoopChanged;
    LoopState m_LoopState = LoopState::NotStarted;  // guarded by m_LoopLock
    ExitCode m_StopCode{0, 0};                       // guarded by m_LoopLock
    std::thread m_StopWatch;                         // guarded by m_LoopLock
};
