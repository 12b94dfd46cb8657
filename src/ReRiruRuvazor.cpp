// The work channel of the service: the shared section and the two work
// events, the dispatch of one request, the Quit request and the registry
// export request.
#include "ReRiruRuvazor.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "base/VqError.h"
#include "base/VqTrace.h"
#include "common/string.h"
#include "common/winapi_wrappers.h"

namespace {

constexpr wchar_t kSourceFile[] = L"ReRiruRuvazor";

constexpr wchar_t kMainLogic[] = L"DiagService::MainLogic";
constexpr wchar_t kWorkFuncQuit[] = L"DiagService::WorkFunc_Quit";
constexpr wchar_t kWorkFuncExport[] = L"DiagService::WorkFunc_ExportRegKeys";
// The launcher is a lambda of WorkFunc_ExportRegKeys; its lines carry the
// name of the lambda's call operator.
constexpr wchar_t kExportLauncher[] = L"DiagService::WorkFunc_ExportRegKeys::<lambda_1>::operator ()";

constexpr std::int32_t kResultRefused = ERROR_INVALID_DATA;
constexpr DWORD kAborted = ERROR_OPERATION_ABORTED;

// The request data begin right after the record header.
std::byte* DataOf(void* view) { return static_cast<std::byte*>(view) + sizeof(WorkItem); }

// Code units of request data within the first committed bytes of the view.
size_t DataUnits(size_t committed) {
    return committed > sizeof(WorkItem) ? (committed - sizeof(WorkItem)) / sizeof(wchar_t) : 0;
}

// The pieces of a request that the trace shows, with control characters
// escaped so that one record stays one line.
std::wstring Shown(const wchar_t* text) { return string::escape_controls(string::from_ptr(text)); }

}  // namespace

void DiagService::Reply(WorkItem* item, std::int32_t result, std::int32_t size) {
    item->WorkType = result;
    item->Data.Size = size;
    m_Result = result;
}

bool DiagService::ReadRequest(WorkItem& request) const {
    if (m_SharedSection.CommittedBytes() < sizeof(WorkItem))
        return false;
    std::memcpy(&request, m_SharedSection.pView, sizeof(WorkItem));
    return true;
}

bool DiagService::RefuseUnreadable(const wchar_t* function) {
    // Nothing can be read or written there: the request is refused unanswered.
    VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] WorkItem: view not committed", function);
    m_Result = kResultRefused;
    return false;
}

// ---------------------------------------------------------------------------
// The export request's started processes

// One pair of a request: the process started for it (null if none) and its
// code: the start error, or the exit code once the process has ended.
struct DiagService::ExportEntry {
    explicit ExportEntry(HANDLE process, DWORD code) : Process(process, nullptr), Code(code) {}

    auto_close::handle Process;
    DWORD Code;
    bool Aborted = false;  // guarded by m_ExportLock
};

void DiagService::RegisterExport(ExportEntry& entry) {
    std::lock_guard<std::mutex> lock(m_ExportLock);
    // A process started while an abort was already under way is stopped at
    // once, so that no export outlives the abort.
    if (m_ExportsAborted && Winapi::TerminateProcess(entry.Process.get(), kAborted))
        entry.Aborted = true;
    m_RunningExports.push_back(&entry);
}

void DiagService::UnregisterExport(ExportEntry& entry) {
    std::lock_guard<std::mutex> lock(m_ExportLock);
    m_RunningExports.erase(std::remove(m_RunningExports.begin(), m_RunningExports.end(), &entry),
                           m_RunningExports.end());
}

bool DiagService::WasAborted(const ExportEntry& entry) {
    std::lock_guard<std::mutex> lock(m_ExportLock);
    return entry.Aborted;
}

void DiagService::AbortExports() {
    m_StopRequested = true;
    std::lock_guard<std::mutex> lock(m_ExportLock);
    m_ExportsAborted = true;
    for (ExportEntry* entry : m_RunningExports) {
        // A process that has ended on its own keeps its own exit code. The
        // zero wait comes first because terminating an ended process succeeds
        // on some platforms and fails with an error on others.
        if (Winapi::WaitForSingleObject(entry->Process.get(), 0) == WAIT_OBJECT_0)
            continue;
        if (Winapi::TerminateProcess(entry->Process.get(), kAborted))
            entry->Aborted = true;
    }
}

std::wstring DiagService::ExportCommandLine(const RegSaveInfo& info) {
    // Plain appends, not a wide string stream: with a 16-bit wchar_t the unit
    // U+FFFF equals WEOF, and the stream drops it where it meets the buffer's
    // growth point, so the command line would name another key or file.
    std::wstring commandLine = L"reg.exe export ";
    commandLine += QuoteArgument(info.Key);
    commandLine += L' ';
    commandLine += QuoteArgument(info.File);
    commandLine += L" /y";
    return commandLine;
}

bool DiagService::StartProcess(const std::wstring& application, wchar_t* commandLine, PROCESS_INFORMATION* info) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    *info = PROCESS_INFORMATION{};
    if (application.empty()) {
        // Without the full path the platform would search for reg.exe, and a
        // planted one would run as the service's account.
        Winapi::SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return Winapi::CreateProcess(application.c_str(), commandLine, nullptr, nullptr, false,
                                 CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup, info);
}

std::wstring DiagService::SystemRegExe() {
    const std::wstring directory = Winapi::GetSystemDirectory();
    return directory.empty() ? std::wstring() : directory + L"\\reg.exe";
}

// ---------------------------------------------------------------------------
// The service instance

DiagService::DiagService(const ChannelNames& names, ProcessStarter starter)
    : m_Status(),
      m_SharedSection(names.Section.c_str()),
      m_Events(names.DoWork.c_str(), names.WorkDone.c_str()),
      m_Names(names),
      m_StartProcess(std::move(starter)),
      m_ExportJob(Hardening::CreateExportJob()) {
    if (m_ExportJob.get() == nullptr) m_ExportJobError = Winapi::GetLastError();
    if (!m_StartProcess) {
        m_StartProcess = [application = SystemRegExe()](wchar_t* commandLine, PROCESS_INFORMATION* info) {
            return StartProcess(application, commandLine, info);
        };
    }
    m_Status.m_Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_Status.m_Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
}

// ---------------------------------------------------------------------------
// The registry export request

bool DiagService::WorkFunc_ExportRegKeys() {
    WorkItem request{};
    return ReadRequest(request) ? WorkFunc_ExportRegKeys(request) : RefuseUnreadable(kWorkFuncExport);
}

bool DiagService::WorkFunc_ExportRegKeys(const WorkItem& request) {
    WorkItem* item = Item();
    if (request.WorkType != WorkType_ExportRegKeys) {
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] WorkType: %i, expected %i (ExportRegKeys)", kWorkFuncExport,
                                  request.WorkType, WorkType_ExportRegKeys);
        Reply(item, kResultRefused, 0);
        return false;
    }

    // The whole list is copied and checked before any process starts, and
    // never read past the committed part of the view.
    const auto* data = reinterpret_cast<const wchar_t*>(DataOf(m_SharedSection.pView));
    const PairList list = ScanPairList(data, DataUnits(m_SharedSection.CommittedBytes()));
    Reply(item, 0, 0);
    if (list.verdict == PairList::NoPair) {
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] RegSaveInfo: error reading data (no pair)", kWorkFuncExport);
        Reply(item, kResultRefused, 0);
        return false;
    }
    if (list.verdict == PairList::NotClosed) {
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] RegSaveInfo: error reading data (no end of list)",
                                  kWorkFuncExport);
        Reply(item, kResultRefused, 0);
        return false;
    }

    auto launch = [this](const RegSaveInfo& info) -> HANDLE {
        if (info.Key == nullptr || info.File == nullptr) {
            VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] RegSaveInfo: NULL data", kExportLauncher);
            Winapi::SetLastError(ERROR_INVALID_DATA);
            return nullptr;
        }
        VqBase::GetTrace().TraceW(VqBase::TL_INFO, L"[%s] RegSaveInfo: {\"%s\", \"%s\"}", kExportLauncher,
                                  Shown(info.Key).c_str(), Shown(info.File).c_str());
        // Without the job, a reg.exe would go on writing as LocalSystem after
        // the service had ended: none is started.
        if (m_ExportJob.get() == nullptr) {
            Report::RegExeNotContained(info.Key, m_ExportJobError);
            Winapi::SetLastError(m_ExportJobError);
            return nullptr;
        }
        std::wstring commandLine = ExportCommandLine(info);
        PROCESS_INFORMATION process{};
        if (!m_StartProcess(commandLine.data(), &process)) {
            const DWORD error = Winapi::GetLastError();
            Report::RegExeNotStarted(info.Key, error);
            Winapi::SetLastError(error);
            return nullptr;
        }
        auto_close::handle thread(process.hThread, nullptr);
        auto_close::handle started(process.hProcess, nullptr);
        // Assigned while suspended: it runs no line of its own outside the job.
        // A process that has ended already (a launcher that hands one out)
        // can run nothing more and keeps its exit code.
        if (!Winapi::AssignProcessToJobObject(m_ExportJob.get(), started.get())) {
            // Some platforms refuse without saying why.
            const DWORD error = Winapi::GetLastError() != ERROR_SUCCESS ? Winapi::GetLastError() : ERROR_ACCESS_DENIED;
            if (Winapi::WaitForSingleObject(started.get(), 0) == WAIT_OBJECT_0) return started.release();
            Winapi::TerminateProcess(started.get(), error);
            Report::RegExeNotContained(info.Key, error);
            Winapi::SetLastError(error);
            return nullptr;
        }
        if (thread.get() != nullptr && Winapi::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
            const DWORD error = Winapi::GetLastError();
            Winapi::TerminateProcess(started.get(), error);
            Report::RegExeNotStarted(info.Key, error);
            Winapi::SetLastError(error);
            return nullptr;
        }
        return started.release();
    };

    // The request's list of entries. Every entry leaves the abort registry
    // before its process handle is closed, so AbortExports never touches a
    // closed handle.
    struct StartedList {
        DiagService& Service;
        std::vector<std::unique_ptr<ExportEntry>> Entries;
        ~StartedList() {
            for (auto& entry : Entries)
                Service.UnregisterExport(*entry);
        }
    } started{*this, {}};
    auto& entries = started.Entries;
    const size_t pairs = list.Pairs.size();
    entries.reserve(pairs);

    if (pairs == 0) {
        // Nothing to wait for: the platform refuses a wait over no handle, and
        // its error becomes the result.
        const HANDLE none[1] = {nullptr};
        Winapi::WaitForMultipleObjects(0, none, true, INFINITE);
        const DWORD error = Winapi::GetLastError();
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] Can't wait process results", kWorkFuncExport);
        Reply(item, static_cast<std::int32_t>(error), 0);
        return false;
    }

    // Up to kMaxRunningExports processes run at once; while pairs are left,
    // each process that ends makes room for the next pair in request order.
    std::vector<ExportEntry*> running;
    std::vector<HANDLE> handles;
    size_t next = 0;
    for (;;) {
        while (next < pairs && running.size() < kMaxRunningExports) {
            if (m_StopRequested) {
                entries.push_back(std::make_unique<ExportEntry>(nullptr, kAborted));
            } else {
                const HANDLE process = launch(list.Pairs[next]);
                const DWORD error = process ? 0 : Winapi::GetLastError();
                entries.push_back(std::make_unique<ExportEntry>(process, error));
                if (process) {
                    RegisterExport(*entries.back());
                    running.push_back(entries.back().get());
                }
            }
            ++next;
        }
        if (running.empty())
            break;

        handles.clear();
        for (const ExportEntry* entry : running)
            handles.push_back(entry->Process.get());
        const bool waitAll = next == pairs;
        const DWORD count = static_cast<DWORD>(handles.size());
        const DWORD wait = Winapi::WaitForMultipleObjects(count, handles.data(), waitAll, INFINITE);
        if (wait >= WAIT_OBJECT_0 + count) {
            const DWORD error = Winapi::GetLastError();
            VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] Can't wait process results", kWorkFuncExport);
            Reply(item, static_cast<std::int32_t>(error), 0);
            return false;
        }
        if (waitAll) {
            for (ExportEntry* entry : running)
                UnregisterExport(*entry);
            running.clear();
            break;
        }
        ExportEntry* ended = running[wait - WAIT_OBJECT_0];
        UnregisterExport(*ended);
        running.erase(running.begin() + (wait - WAIT_OBJECT_0));
    }

    // The result is the start error of the first pair that did not start,
    // replaced by the error of a failed exit-code query; an abort overrides
    // both. A pair whose process the abort terminated ends with 995; one that
    // ended on its own first keeps its own code.
    DWORD result = 0;
    bool aborted = false;
    for (const auto& entry : entries) {
        if (entry->Process.get() == nullptr) {
            if (result == 0)
                result = entry->Code;
            aborted = aborted || entry->Code == kAborted;
        }
    }
    auto* codes = DataOf(m_SharedSection.pView);
    for (size_t i = 0; i < entries.size(); ++i) {
        ExportEntry& entry = *entries[i];
        if (entry.Process.get() != nullptr) {
            DWORD exitCode = 0;
            if (Winapi::GetExitCodeProcess(entry.Process.get(), &exitCode))
                entry.Code = exitCode;
            else
                result = Winapi::GetLastError();
            if (WasAborted(entry) && entry.Code == kAborted)
                aborted = true;
        }
        std::memcpy(codes + i * sizeof(DWORD), &entry.Code, sizeof(DWORD));
    }
    if (aborted)
        result = kAborted;
    Reply(item, static_cast<std::int32_t>(result), static_cast<std::int32_t>(entries.size() * sizeof(DWORD)));
    return true;
}

// ---------------------------------------------------------------------------
// The shared section and the work events

namespace {

// Closes a half-built section's mapping when its constructor throws; the
// section's own destructor does not run then.
class MappingGuard {
public:
    explicit MappingGuard(HANDLE& mapping) : m_Mapping(mapping) {}
    ~MappingGuard() {
        if (m_Armed && m_Mapping != nullptr) {
            Winapi::CloseHandle(m_Mapping);
            m_Mapping = nullptr;
        }
    }
    MappingGuard(const MappingGuard&) = delete;
    MappingGuard& operator=(const MappingGuard&) = delete;
    void Release() { m_Armed = false; }

private:
    HANDLE& m_Mapping;
    bool m_Armed = true;
};

}  // namespace

DiagService::SharedSection::SharedSection(const wchar_t* name) : pView(nullptr), m_hMapping(nullptr) {
    static constexpr wchar_t kFunction[] = L"DiagService::SharedSection::SharedSection";
    // READ_CONTROL lets the access step read the section's owner and DACL.
    m_hMapping = Winapi::OpenFileMapping(name, FILE_MAP_READ | FILE_MAP_WRITE | READ_CONTROL, false);
    if (!m_hMapping) Report::ChannelMissing(name, Winapi::GetLastError());
    VQ_ASSERT(m_hMapping, kFunction, kSourceFile);
    MappingGuard guard(m_hMapping);
    pView = Winapi::MapViewOfFile(m_hMapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0);
    VQ_ASSERT(pView, kFunction, kSourceFile);
    guard.Release();
}

size_t DiagService::SharedSection::CommittedBytes() const {
    MEMORY_BASIC_INFORMATION info{};
    if (pView == nullptr || Winapi::VirtualQuery(pView, &info) == 0)
        return 0;
    constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (info.State != MEM_COMMIT || (info.Protect & kWritable) == 0 || (info.Protect & PAGE_GUARD) != 0)
        return 0;
    const auto* end = static_cast<const std::byte*>(info.BaseAddress) + info.RegionSize;
    const auto* begin = static_cast<const std::byte*>(pView);
    return end > begin ? static_cast<size_t>(end - begin) : 0;
}

DiagService::SharedSection::~SharedSection() {
    if (pView != nullptr)
        Winapi::UnmapViewOfFile(pView);
    if (m_hMapping != nullptr)
        Winapi::CloseHandle(m_hMapping);
}

// Both events belong to the tool; the service gets only the access it needs.
DiagService::Events::Events(const wchar_t* doWorkName, const wchar_t* workDoneName) : m_DoWork(), m_WorkDone() {
    static constexpr wchar_t kFunction[] = L"DiagService::Events::Events";
    m_DoWork = Common::Event::Open(doWorkName, SYNCHRONIZE | READ_CONTROL);
    if (!m_DoWork) Report::ChannelMissing(doWorkName, Winapi::GetLastError());
    VQ_ASSERT(m_DoWork, kFunction, kSourceFile);
    // Opened second: if it is missing, the do-work handle closes with m_DoWork.
    m_WorkDone = Common::Event::Open(workDoneName, EVENT_MODIFY_STATE | READ_CONTROL);
    if (!m_WorkDone) Report::ChannelMissing(workDoneName, Winapi::GetLastError());
    VQ_ASSERT(m_WorkDone, kFunction, kSourceFile);
}

int DiagService::Events::WaitForWork() { return m_DoWork.WaitFor(INFINITE); }

bool DiagService::Events::SetWorkDone() { return m_WorkDone.Set(); }

// Nothing pending is the usual case and no event: only a taken signal is
// traced, by the caller.
bool DiagService::Events::ConsumeSignal() { return m_DoWork.Poll() == 0; }

// ---------------------------------------------------------------------------
// Dispatch and the Quit request

bool DiagService::MainLogic() {
    WorkItem request{};
    return ReadRequest(request) ? MainLogic(request) : RefuseUnreadable(kMainLogic);
}

bool DiagService::MainLogic(const WorkItem& request) {
    switch (request.WorkType) {
    case WorkType_Quit:
        VqBase::GetTrace().TraceW(VqBase::TL_INFO, L"[%s] WorkType: Quit", kMainLogic);
        return WorkFunc_Quit(request);
    case WorkType_ExportRegKeys:
        VqBase::GetTrace().TraceW(VqBase::TL_INFO, L"[%s] WorkType: ExportRegKeys", kMainLogic);
        return WorkFunc_ExportRegKeys(request);
    default:
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] WorkType: %i, unsupported", kMainLogic, request.WorkType);
        Reply(Item(), kResultRefused, 0);
        return false;
    }
}

bool DiagService::WorkFunc_Quit() {
    WorkItem request{};
    return ReadRequest(request) ? WorkFunc_Quit(request) : RefuseUnreadable(kWorkFuncQuit);
}

bool DiagService::WorkFunc_Quit(const WorkItem& request) {
    std::int32_t result = 0;
    if (request.WorkType != WorkType_Quit) {
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] WorkType: %i, expected %i (Quit)", kWorkFuncQuit,
                                  request.WorkType, WorkType_Quit);
        result = kResultRefused;
    } else if (request.Data.Size != 0) {
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] Data.Size: %i, expected 0", kWorkFuncQuit, request.Data.Size);
        result = kResultRefused;
    }
    Reply(Item(), result, 0);
    return result == 0;
}

// ---------------------------------------------------------------------------
// Pieces of the export request that need no kernel object

DiagService::PairList DiagService::ScanPairList(const wchar_t* data, size_t units) {
    // The section is copied chunk by chunk as far as the scan needs, and only
    // the copy is looked at: whatever the tool writes meanwhile, what was
    // checked is what runs.
    constexpr size_t kChunkUnits = 4096;
    PairList list;
    std::vector<wchar_t>& text = list.Text;
    std::vector<std::pair<size_t, size_t>> pairs;  // key and file offsets into text
    size_t start = 0;    // the current string's first unit
    size_t scanned = 0;  // units of text already searched for a NUL
    size_t key = 0;
    size_t strings = 0;
    for (;;) {
        const auto nul = std::find(text.begin() + static_cast<std::ptrdiff_t>(scanned), text.end(), L'\0');
        if (nul == text.end()) {
            if (text.size() == units) {
                list.verdict = PairList::NotClosed;
                list.Text.clear();
                return list;
            }
            scanned = text.size();
            const size_t chunk = std::min(kChunkUnits, units - text.size());
            text.resize(scanned + chunk);
            std::memcpy(text.data() + scanned, data + scanned, chunk * sizeof(wchar_t));
            continue;
        }
        const size_t end = static_cast<size_t>(nul - text.begin());
        if (end == start)
            break;  // the closing empty string
        ++strings;
        if (strings % 2 == 1)
            key = start;
        else
            pairs.emplace_back(key, start);
        start = scanned = end + 1;
    }
    if (strings % 2 == 1) {
        list.verdict = PairList::NoPair;
        return list;
    }
    text.resize(start + 1);
    for (const auto& [keyAt, fileAt] : pairs)
        list.Pairs.push_back(RegSaveInfo{text.data() + keyAt, text.data() + fileAt});
    return list;
}

std::wstring DiagService::QuoteArgument(const wchar_t* text) {
    // The parsing rules of CommandLineToArgvW and the C runtime: backslashes
    // are literal unless they precede a double quote, where each pair of
    // them stands for one backslash and a lone one escapes the quote.
    std::wstring quoted(1, L'"');
    size_t backslashes = 0;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (*p == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(*p == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += *p;
        backslashes = 0;
    }
    // Backslashes before the closing quote are doubled so that it closes.
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}
