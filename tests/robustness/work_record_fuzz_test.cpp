// Random and adversarial work records handed to DiagService::MainLogic in
// this process, on sections whose last byte borders memory that is not
// mapped, with a launcher that records command lines instead of starting
// reg.exe. A read past the section faults and ends the run with the case
// that did it.
//
// VQ_FUZZ_SEED=<n>   base seed (printed by every run; default fixed)
// VQ_FUZZ_CASES=<n>  number of cases (default 4000; VQ_LONG=1: 1000000)
// VQ_FUZZ_CASE=<i>   replay case i of the seed alone
// VQ_FUZZ_SECONDS=<n> stop cleanly after n seconds, with the count so far
// VQ_FUZZ_PROGRESS_SECONDS=<n> the progress line every n seconds (default 10)
//
// Every 10 s and at its end a run prints its seed, the cases run and the
// rate, so that a run ended from outside can be told from a hang.
#include <gtest/gtest.h>

#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ReRiruRuvazor.h"
#include "process_probe.h"
#include "module_path.h"

namespace {

using robustness::OwnedHandle;

constexpr std::uint64_t kDefaultSeed = 0x5EEDF00DCAFE2026ull;
constexpr DWORD kChildExitCode = 7;  // what every "started" reg.exe exits with
// Start errors the recording launcher hands out.
constexpr DWORD kStartErrors[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BAD_EXE_FORMAT,
                                  ERROR_NO_SYSTEM_RESOURCES};

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    return std::strtoull(text, nullptr, 0);
}

std::uint64_t SplitMix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The seed, the cases run and the rate, every Every seconds (Tick) and at the
// end.
struct Progress {
    using Clock = std::chrono::steady_clock;
    std::uint64_t Seed, Cases, Every;
    Clock::time_point Start = Clock::now(), Printed = Start;

    double Seconds() const { return std::chrono::duration<double>(Clock::now() - Start).count(); }
    void Tick(std::uint64_t done) {
        if (Clock::now() - Printed >= std::chrono::seconds(Every)) Print("fuzz progress", done, "");
    }
    void Print(const char* what, std::uint64_t done, const std::string& note) {
        Printed = Clock::now();
        std::printf("%s: seed 0x%llX, %llu of %llu cases in %.1f s, %.0f cases/s%s\n", what,
                    static_cast<unsigned long long>(Seed), static_cast<unsigned long long>(done),
                    static_cast<unsigned long long>(Cases), Seconds(), done / std::max(Seconds(), 1e-3), note.c_str());
        std::fflush(stdout);
    }
};

// Case that is running, for the fault report.
std::uint64_t g_Seed = 0;
std::uint64_t g_Case = 0;

LONG CALLBACK ReportFault(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        const auto* record = info->ExceptionRecord;
        std::fprintf(stderr,
                     "\nACCESS VIOLATION (%s at %p) in fuzz case %llu of seed 0x%llX;"
                     " replay with VQ_FUZZ_SEED=0x%llX VQ_FUZZ_CASE=%llu\n",
                     record->ExceptionInformation[0] ? "write" : "read",
                     reinterpret_cast<void*>(record->ExceptionInformation[1]),
                     static_cast<unsigned long long>(g_Case), static_cast<unsigned long long>(g_Seed),
                     static_cast<unsigned long long>(g_Seed), static_cast<unsigned long long>(g_Case));
        std::fflush(stderr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// The launcher: records each command line and, instead of starting reg.exe,
// hands out a duplicate of a process that has already ended with exit code 7,
// or fails with a start error when the case asks for one.
class RecordingLauncher {
public:
    RecordingLauncher() {
        const std::wstring self = testing_support::ModulePath();
        std::wstring command = L"\"" + self + L"\" --gtest_list_tests";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(self.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                             nullptr, &startup, &info)) {
            m_Process.reset(info.hProcess);
            m_Thread.reset(info.hThread);
            ::TerminateProcess(info.hProcess, kChildExitCode);
            ::WaitForSingleObject(info.hProcess, 10000);
        }
    }
    bool Ready() const {
        DWORD code = 0;
        return m_Process && ::GetExitCodeProcess(m_Process.get(), &code) && code == kChildExitCode;
    }

    struct Call {
        std::wstring CommandLine;
        DWORD Outcome;  // 0 started, otherwise the start error handed out
    };

    void Begin(std::mt19937_64* rng, unsigned failPercent) {
        m_Rng = rng;
        m_FailPercent = failPercent;
        m_Calls.clear();
    }
    const std::vector<Call>& Calls() const { return m_Calls; }

    bool Start(wchar_t* commandLine, PROCESS_INFORMATION* info) {
        Call call{commandLine ? commandLine : L"<null>", 0};
        if (m_FailPercent && (*m_Rng)() % 100 < m_FailPercent)
            call.Outcome = kStartErrors[(*m_Rng)() % std::size(kStartErrors)];
        HANDLE process = nullptr;
        HANDLE thread = nullptr;
        if (!call.Outcome) {
            HANDLE self = ::GetCurrentProcess();
            if (!::DuplicateHandle(self, m_Process.get(), self, &process, 0, FALSE, DUPLICATE_SAME_ACCESS) ||
                !::DuplicateHandle(self, m_Thread.get(), self, &thread, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
                call.Outcome = ::GetLastError();
                if (process) ::CloseHandle(process);
                process = nullptr;
            }
        }
        m_Calls.push_back(call);
        if (call.Outcome) {
            ::SetLastError(call.Outcome);
            return false;
        }
        info->hProcess = process;
        info->hThread = thread;
        info->dwProcessId = ::GetProcessId(m_Process.get());
        info->dwThreadId = 1;
        return true;
    }

private:
    OwnedHandle m_Process;
    OwnedHandle m_Thread;
    std::mt19937_64* m_Rng = nullptr;
    unsigned m_FailPercent = 0;
    std::vector<Call> m_Calls;
};

// One section of the test's own with the DiagService that maps it.
struct FuzzSection {
    size_t Bytes = 0;
    OwnedHandle Mapping;
    OwnedHandle DoWork;
    OwnedHandle WorkDone;
    std::unique_ptr<DiagService> Service;

    unsigned char* View() const { return static_cast<unsigned char*>(Service->m_SharedSection.pView); }
    size_t Units() const { return (Bytes - 8) / sizeof(wchar_t); }
    wchar_t* Data() const { return reinterpret_cast<wchar_t*>(View() + 8); }
};

// Where the section's last byte is followed by a page that cannot be read.
std::string LayoutProblem(const FuzzSection& section) {
    MEMORY_BASIC_INFORMATION here{};
    MEMORY_BASIC_INFORMATION next{};
    const unsigned char* view = section.View();
    if (!::VirtualQuery(view, &here, sizeof here)) return "VirtualQuery of the view failed";
    if (here.BaseAddress != view || here.RegionSize != section.Bytes || here.State != MEM_COMMIT)
        return "the view is not one committed region of exactly the section's size";
    if (!::VirtualQuery(view + section.Bytes, &next, sizeof next)) return {};  // beyond the address space
    bool readable = next.State == MEM_COMMIT && !(next.Protect & (PAGE_NOACCESS | PAGE_GUARD));
    if (readable) return "the page after the view is readable";
    return {};
}

// What the service must find in a record, worked out independently of it:
// the strings from offset 8, bounded by the section.
struct Model {
    enum Verdict { Complete, NoPair, NotClosed } verdict = Complete;
    std::vector<std::pair<std::wstring, std::wstring>> Pairs;  // complete pairs in order
};

Model ReadModel(const wchar_t* data, size_t units) {
    Model model;
    std::vector<std::wstring> strings;
    size_t i = 0;
    for (;;) {
        if (i >= units) {
            model.verdict = Model::NotClosed;
            break;
        }
        if (data[i] == L'\0') {
            model.verdict = strings.size() % 2 ? Model::NoPair : Model::Complete;
            break;
        }
        size_t start = i;
        while (i < units && data[i] != L'\0') ++i;
        if (i >= units) {  // runs to the last byte without its NUL
            model.verdict = Model::NotClosed;
            break;
        }
        strings.emplace_back(data + start, i - start);
        ++i;
    }
    for (size_t k = 0; k + 1 < strings.size(); k += 2) model.Pairs.emplace_back(strings[k], strings[k + 1]);
    return model;
}

// ---------------------------------------------------------------- generator

wchar_t RandomUnit(std::mt19937_64& rng) {
    static constexpr wchar_t kAwkward[] = {L'"', L'\\', L' ', L'\t', L'/', L'%', L'^', L'&', L'\'', L'*',
                                           L'?', L':',  0x0416, 0x044F, 0x00A0, 0xD800, 0xDC00, 0xFFFF, 0x0001};
    switch (rng() % 8) {
        case 0:
        case 1: return kAwkward[rng() % std::size(kAwkward)];
        case 2: return static_cast<wchar_t>(1 + rng() % 0xFFFF);
        default: return static_cast<wchar_t>(L'a' + rng() % 26);
    }
}

std::wstring RandomString(std::mt19937_64& rng, size_t maxLength) {
    size_t length;
    switch (rng() % 10) {
        case 0: length = 1; break;
        case 1: length = 1 + rng() % 300; break;
        default: length = 1 + rng() % 24; break;
    }
    length = std::min(length, std::max<size_t>(maxLength, 1));
    std::wstring text;
    // Keys and files that end in backslashes or quotes are the hard cases for
    // the command line.
    for (size_t i = 0; i < length; ++i) text += RandomUnit(rng);
    if (rng() % 6 == 0) text.back() = L'\\';
    if (rng() % 12 == 0) text.back() = L'"';
    return text;
}

size_t RandomPairCount(std::mt19937_64& rng) {
    switch (rng() % 40) {
        case 0: case 1: return 0;
        case 2: case 3: case 4: case 5: return 65 + rng() % 140;
        case 6: return rng() % 8 ? 4 + rng() % 61 : 1000 + rng() % 2000;  // now and then thousands
        case 7: case 8: case 9: case 10: case 11: return 4 + rng() % 61;
        default: return 1 + rng() % 3;
    }
}

enum class Shape { WellFormed, OddCount, NotClosed, RunsToEnd, ClosedAtLastUnit, RandomUnits, TinyStrings };

// Writes one record into the section. Units after the list are garbage.
void Generate(std::mt19937_64& rng, const FuzzSection& section) {
    auto* item = reinterpret_cast<WorkItem*>(section.View());
    wchar_t* data = section.Data();
    const size_t units = section.Units();

    switch (rng() % 20) {
        case 0: item->WorkType = WorkType_Quit; break;
        case 1: {
            static constexpr std::int32_t kOdd[] = {2, -1, 7, INT_MAX, INT_MIN, 13, 87};
            item->WorkType = rng() % 2 ? kOdd[rng() % std::size(kOdd)] : static_cast<std::int32_t>(rng());
            break;
        }
        default: item->WorkType = WorkType_ExportRegKeys; break;
    }
    switch (rng() % 4) {
        case 0: item->Data.Size = 0; break;
        case 1: item->Data.Size = -4; break;
        default: item->Data.Size = static_cast<std::int32_t>(rng()); break;
    }

    // Garbage first, so that nothing after the list is zero by luck.
    for (size_t i = 0; i < units; ++i) data[i] = static_cast<wchar_t>(rng() % 3 ? 1 + rng() % 0xFFFF : 0);

    const auto shape = static_cast<Shape>(rng() % 7);
    if (shape == Shape::RandomUnits) return;

    std::vector<std::wstring> strings;
    const size_t pairs = RandomPairCount(rng);
    size_t used = 0;
    const bool tiny = shape == Shape::TinyStrings || pairs > 200;
    for (size_t p = 0; p < pairs; ++p) {
        std::wstring key = tiny ? std::wstring(1, RandomUnit(rng)) : RandomString(rng, 300);
        std::wstring file = tiny ? std::wstring(1 + rng() % 3, RandomUnit(rng)) : RandomString(rng, 300);
        size_t need = key.size() + file.size() + 2;
        if (used + need + 64 >= units) break;
        used += need;
        strings.push_back(std::move(key));
        strings.push_back(std::move(file));
    }
    if (shape == Shape::OddCount) strings.push_back(RandomString(rng, 40));

    size_t at = 0;
    auto put = [&](const std::wstring& s) {
        std::copy(s.begin(), s.end(), data + at);
        at += s.size();
        data[at++] = L'\0';
    };
    for (const auto& s : strings) put(s);

    switch (shape) {
        case Shape::NotClosed: {
            // Strings with their NULs up to the very last unit, no closing one.
            while (units - at > 2) {
                size_t length = std::min<size_t>(units - at - 1, 1 + rng() % 50);
                if (units - at - 1 - length == 1) ++length;  // never leave a one-unit hole
                put(std::wstring(length, RandomUnit(rng)));
            }
            if (at < units) put(std::wstring(units - at - 1, L'x'));
            break;
        }
        case Shape::RunsToEnd:
            // The last string has no NUL at all and ends at the section's end.
            for (size_t i = at; i < units; ++i) data[i] = RandomUnit(rng);
            break;
        case Shape::ClosedAtLastUnit: {
            // One more pair fills the section so that the closing empty
            // string is its very last unit.
            const size_t total = units - at - 3;  // key and file units; at least 61
            const size_t keyLength = std::max<size_t>(1, total / 2);
            put(std::wstring(keyLength, L'k'));
            put(std::wstring(total - keyLength, L'f'));
            data[units - 1] = L'\0';
            break;
        }
        default:
            if (at < units) data[at] = L'\0';
            break;
    }
}

// ---------------------------------------------------------------- checking

std::vector<std::wstring> SplitCommandLine(const std::wstring& line) {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(line.c_str(), &count);
    if (!argv) return args;
    for (int i = 0; i < count; ++i) args.emplace_back(argv[i]);
    ::LocalFree(argv);
    return args;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
        else {
            char hex[12];
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
            out += hex;
        }
    }
    return out;
}

class FuzzFailure {
public:
    void Add(const std::string& what) {
        if (m_Text.size() < 4000) m_Text += "  - " + what + "\n";
    }
    bool Any() const { return !m_Text.empty(); }
    const std::string& Text() const { return m_Text; }

private:
    std::string m_Text;
};

// Every invariant of one request, given what went in and what came out.
void CheckCase(const Model& model, std::int32_t workType, std::int32_t dataSize, bool returned, const WorkItem& reply,
               const std::uint32_t* codes, const std::vector<RecordingLauncher::Call>& calls, FuzzFailure& failure) {
    const std::int32_t result = reply.WorkType;
    const std::int32_t size = reply.Data.Size;
    std::ostringstream got;
    got << "reply {" << result << ", " << size << "}, returned " << returned << ", " << calls.size()
        << " launches";

    if (workType != WorkType_ExportRegKeys) {
        if (!calls.empty()) failure.Add("a request of kind " + std::to_string(workType) + " started processes");
        const bool acceptedQuit = workType == WorkType_Quit && dataSize == 0;
        if (acceptedQuit && !(result == 0 && size == 0 && returned))
            failure.Add("Quit with Data.Size 0 must give {0, 0} and true; " + got.str());
        if (!acceptedQuit && !(result == 13 && size == 0 && !returned))
            failure.Add("kind " + std::to_string(workType) + " size " + std::to_string(dataSize) +
                        " must be refused with {13, 0} and false; " + got.str());
        return;
    }

    const size_t pairs = model.Pairs.size();

    // Each launch is one pair, in request order, with a command line that
    // splits back into exactly its five arguments.
    size_t next = 0;
    std::vector<std::optional<DWORD>> launched(pairs);
    for (size_t c = 0; c < calls.size(); ++c) {
        const auto args = SplitCommandLine(calls[c].CommandLine);
        if (args.size() != 5 || args[0] != L"reg.exe" || args[1] != L"export" || args[4] != L"/y") {
            failure.Add("command line " + std::to_string(c) + " does not split into reg.exe export <key> <file> /y: " +
                        Narrow(calls[c].CommandLine));
            return;
        }
        const size_t first = next;
        while (next < pairs && !(model.Pairs[next].first == args[2] && model.Pairs[next].second == args[3])) ++next;
        if (next == pairs) {
            std::string expected = first < pairs ? "; the next pair is key \"" + Narrow(model.Pairs[first].first) +
                                                       "\" file \"" + Narrow(model.Pairs[first].second) + "\""
                                                 : "";
            failure.Add("command line " + std::to_string(c) + " names no remaining pair of the request in order: " +
                        Narrow(calls[c].CommandLine) + "; it splits into key \"" + Narrow(args[2]) + "\" file \"" +
                        Narrow(args[3]) + "\"" + expected);
            return;
        }
        launched[next++] = calls[c].Outcome;
    }

    if (size != 0 && size != static_cast<std::int64_t>(4 * pairs))
        failure.Add("Data.Size " + std::to_string(size) + " is neither 0 nor 4 x " + std::to_string(pairs) + " pairs");

    std::set<std::int64_t> allowed{0, 13, 87};
    for (DWORD e : kStartErrors) allowed.insert(e);
    if (!allowed.count(result)) failure.Add("result code " + std::to_string(result) + " is not 0, 13, 87 or a start error");

    if (model.verdict != Model::Complete) {
        if (!(result == 13 && size == 0 && !returned))
            failure.Add(std::string(model.verdict == Model::NoPair ? "an odd list" : "a list not closed in the section") +
                        " must be refused with {13, 0} and false; " + got.str());
        return;
    }

    size_t started = 0;
    for (const auto& outcome : launched) started += outcome && *outcome == 0;
    if (size == 0) {
        // Only a request with nothing to wait for may end without results.
        if (returned || result == 0 || started != 0)
            failure.Add("a complete list of " + std::to_string(pairs) + " pairs (" + std::to_string(started) +
                        " started) got no results; " + got.str());
        return;
    }
    if (!returned) failure.Add("a completed request must return true; " + got.str());
    std::int64_t firstFailure = 0;
    for (size_t j = 0; j < pairs && size == static_cast<std::int64_t>(4 * pairs); ++j) {
        const std::uint32_t value = codes[j];
        if (launched[j]) {
            const DWORD expected = *launched[j] ? *launched[j] : kChildExitCode;
            if (value != expected) {
                failure.Add("pair " + std::to_string(j) + ": value " + std::to_string(value) + ", expected " +
                            std::to_string(expected));
                return;
            }
        } else if (value == 0 || value == kChildExitCode) {
            failure.Add("pair " + std::to_string(j) + " was never launched but reports " + std::to_string(value));
            return;
        }
        if (!firstFailure && value != kChildExitCode) firstFailure = value;
    }
    if (result != firstFailure)
        failure.Add("result code " + std::to_string(result) + ", expected the first start error " +
                    std::to_string(firstFailure));
}

class WorkRecordFuzz : public ::testing::Test {
protected:
    static constexpr size_t kSectionBytes[] = {4096, 8192, 3 * 4096, 15 * 4096};

    void SetUp() override {
        ASSERT_TRUE(m_Launcher.Ready()) << "could not prepare the ended process the launcher hands out";
        wchar_t suffix[64];
        std::swprintf(suffix, 64, L"%lu", ::GetCurrentProcessId());
        for (size_t bytes : kSectionBytes) {
            auto section = std::make_unique<FuzzSection>();
            section->Bytes = bytes;
            std::wstring base = L"Local\\vq-fuzz-" + std::wstring(suffix) + L"-" + std::to_wstring(bytes);
            DiagService::ChannelNames names;
            names.Section = base + L"-section";
            names.DoWork = base + L"-do";
            names.WorkDone = base + L"-done";
            section->Mapping.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                        static_cast<DWORD>(bytes), names.Section.c_str()));
            section->DoWork.reset(::CreateEventW(nullptr, FALSE, FALSE, names.DoWork.c_str()));
            section->WorkDone.reset(::CreateEventW(nullptr, FALSE, FALSE, names.WorkDone.c_str()));
            ASSERT_TRUE(section->Mapping && section->DoWork && section->WorkDone);
            RecordingLauncher* launcher = &m_Launcher;
            section->Service = std::make_unique<DiagService>(
                names, [launcher](wchar_t* line, PROCESS_INFORMATION* info) { return launcher->Start(line, info); });
            ASSERT_NE(section->View(), nullptr);
            const std::string problem = LayoutProblem(*section);
            ASSERT_TRUE(problem.empty()) << "section of " << bytes << " bytes: " << problem;
            MEMORY_BASIC_INFORMATION next{};
            ::VirtualQuery(section->View() + bytes, &next, sizeof next);
            std::printf("section of %zu bytes mapped at %p; the page after it: %s, protection 0x%lX\n", bytes,
                        static_cast<void*>(section->View()),
                        next.State == MEM_FREE      ? "free"
                        : next.State == MEM_RESERVE ? "reserved"
                                                    : "committed",
                        next.Protect);
            m_Sections.push_back(std::move(section));
        }
    }

    RecordingLauncher m_Launcher;
    std::vector<std::unique_ptr<FuzzSection>> m_Sections;
};

TEST_F(WorkRecordFuzz, EveryRecordGetsAReplyWithinTheSectionAndWellFormedCommandLines) {
    const std::uint64_t seed = EnvNumber("VQ_FUZZ_SEED", kDefaultSeed);
    const bool longRun = EnvNumber("VQ_LONG", 0) != 0;
    const std::uint64_t cases = EnvNumber("VQ_FUZZ_CASES", longRun ? 1000000 : 4000);
    const std::uint64_t only = EnvNumber("VQ_FUZZ_CASE", UINT64_MAX);
    const std::uint64_t boundSeconds = EnvNumber("VQ_FUZZ_SECONDS", 0);
    std::printf("fuzz seed 0x%llX, %llu cases%s (replay: VQ_FUZZ_SEED=0x%llX [VQ_FUZZ_CASE=<i>])\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(cases),
                only != UINT64_MAX ? " (one replayed)" : "", static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    g_Seed = seed;
    PVOID handler = ::AddVectoredExceptionHandler(1, ReportFault);

    const long handlesBefore = robustness::CountProcessHandles(::GetCurrentProcessId());
    std::uint64_t failures = 0;
    std::uint64_t stats[4] = {};  // accepted, refused, no-results, other kinds
    Progress progress{seed, cases, std::max<std::uint64_t>(EnvNumber("VQ_FUZZ_PROGRESS_SECONDS", 10), 1)};
    std::uint64_t done = 0;
    bool bounded = false;

    for (std::uint64_t i = (only == UINT64_MAX ? 0 : only); i < (only == UINT64_MAX ? cases : only + 1); ++i) {
        progress.Tick(done);
        if (boundSeconds != 0 && progress.Seconds() >= static_cast<double>(boundSeconds)) {
            bounded = true;
            break;
        }
        g_Case = i;
        std::mt19937_64 rng(SplitMix(seed ^ SplitMix(i)));
        FuzzSection& section = *m_Sections[rng() % m_Sections.size()];
        Generate(rng, section);

        auto* item = reinterpret_cast<WorkItem*>(section.View());
        const std::int32_t workType = item->WorkType;
        const std::int32_t dataSize = item->Data.Size;
        const Model model =
            workType == WorkType_ExportRegKeys ? ReadModel(section.Data(), section.Units()) : Model{};

        m_Launcher.Begin(&rng, rng() % 4 == 0 ? 1 + rng() % 30 : 0);
        bool returned = false;
        FuzzFailure failure;
        try {
            returned = section.Service->MainLogic();
        } catch (...) {
            failure.Add("MainLogic let an exception out");
        }
        std::vector<std::uint32_t> codes(std::max<size_t>(model.Pairs.size(), 1));
        if (item->Data.Size > 0 && static_cast<size_t>(item->Data.Size) == 4 * model.Pairs.size())
            std::memcpy(codes.data(), section.View() + 8, 4 * model.Pairs.size());
        CheckCase(model, workType, dataSize, returned, *item, codes.data(), m_Launcher.Calls(), failure);

        ++done;
        if (workType != WorkType_ExportRegKeys) ++stats[3];
        else if (item->Data.Size > 0) ++stats[0];
        else if (item->WorkType == 13) ++stats[1];
        else ++stats[2];

        if (failure.Any()) {
            ++failures;
            ADD_FAILURE() << "case " << i << " (replay: VQ_FUZZ_SEED=0x" << std::hex << seed << std::dec
                          << " VQ_FUZZ_CASE=" << i << "), WorkType " << workType << ", Data.Size " << dataSize
                          << ", " << model.Pairs.size() << " pairs, section " << section.Bytes << " bytes:\n"
                          << failure.Text();
            if (failures >= 5) break;
        }
    }
    ::RemoveVectoredExceptionHandler(handler);
    progress.Print("fuzz end", done,
                   bounded ? ", stopped at the VQ_FUZZ_SECONDS bound of " + std::to_string(boundSeconds) + " s" : "");

    for (const auto& section : m_Sections) {
        const std::string problem = LayoutProblem(*section);
        EXPECT_TRUE(problem.empty()) << "after the run, section of " << section->Bytes << " bytes: " << problem;
    }
    // Every handle the launcher gave the service must have been closed.
    const long handlesAfter = robustness::CountProcessHandles(::GetCurrentProcessId());
    std::printf("results: %llu completed exports, %llu refused lists, %llu without results, %llu other kinds;"
                " handles of this process %ld before, %ld after\n",
                static_cast<unsigned long long>(stats[0]), static_cast<unsigned long long>(stats[1]),
                static_cast<unsigned long long>(stats[2]), static_cast<unsigned long long>(stats[3]), handlesBefore,
                handlesAfter);
    ASSERT_GE(handlesBefore, 0) << "the system handle table could not be read";
    EXPECT_LE(handlesAfter - handlesBefore, 8) << "handles leaked across the fuzz run";
}

// The harness itself: the model and the guard must be able to fail.
TEST(WorkRecordFuzzHarness, ModelReadsListsOnlyWithinTheirBound) {
    const wchar_t closed[] = L"k1\0f1\0k2\0f2\0\0";
    Model m = ReadModel(closed, std::size(closed) - 1);
    EXPECT_EQ(m.verdict, Model::Complete);
    ASSERT_EQ(m.Pairs.size(), 2u);
    EXPECT_EQ(m.Pairs[1].second, L"f2");

    const wchar_t odd[] = L"k1\0f1\0k2\0\0";
    EXPECT_EQ(ReadModel(odd, std::size(odd) - 1).verdict, Model::NoPair);

    const wchar_t open[] = L"k1\0f1\0";  // NUL of f1 is the last unit
    m = ReadModel(open, 6);
    EXPECT_EQ(m.verdict, Model::NotClosed);
    EXPECT_EQ(m.Pairs.size(), 1u);
    EXPECT_EQ(ReadModel(L"abc", 3).verdict, Model::NotClosed);
}

LONG CALLBACK ExitOnFault(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        std::fprintf(stderr, "read fault\n");
        std::fflush(stderr);
        ::ExitProcess(3);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST(WorkRecordFuzzHarness, AReadPastAViewLikeTheFuzzedOnesFaults) {
    // The sections of the fuzz are page multiples below 64 KiB: the byte after
    // the view lies in the same allocation granule and cannot be read. (The
    // child ends itself on the fault, quietly, instead of crashing.)
    EXPECT_EXIT(
        {
            ::AddVectoredExceptionHandler(1, ExitOnFault);
            OwnedHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8192, nullptr));
            auto* view = static_cast<volatile unsigned char*>(::MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
            std::fprintf(stderr, "last byte %u\n", view[8191]);
            std::fprintf(stderr, "past the end %u\n", view[8192]);
            std::exit(0);
        },
        ::testing::ExitedWithCode(3), "last byte 0\r?\nread fault");
}

TEST(WorkRecordFuzzHarness, CheckerCatchesAMisquotedCommandLine) {
    Model model;
    model.Pairs.emplace_back(L"HKLM\\Soft ware\\", L"C:\\a \"b\".reg");
    WorkItem reply{0, {4}};
    const std::uint32_t codes[] = {kChildExitCode};
    // The naive quoting does not give the key and the file back.
    std::vector<RecordingLauncher::Call> naive{{L"reg.exe export \"HKLM\\Soft ware\\\" \"C:\\a \"b\".reg\" /y", 0}};
    FuzzFailure failure;
    CheckCase(model, WorkType_ExportRegKeys, 0, true, reply, codes, naive, failure);
    EXPECT_TRUE(failure.Any());

    std::vector<RecordingLauncher::Call> quoted{
        {L"reg.exe export \"HKLM\\Soft ware\\\\\" \"C:\\a \\\"b\\\".reg\" /y", 0}};
    FuzzFailure none;
    CheckCase(model, WorkType_ExportRegKeys, 0, true, reply, codes, quoted, none);
    EXPECT_FALSE(none.Any()) << none.Text();
}

// Found by the fuzz: a wide string stream loses U+FFFF (WEOF for a 16-bit
// wchar_t) where it meets the stream buffer's growth point.
TEST(ExportCommandLine, KeepsEveryCodeUnitWhateverTheLength) {
    for (size_t length = 0; length < 1200; ++length) {
        const std::wstring key = L"HKLM\\" + std::wstring(length, L'k') + L'\xFFFF' + L"\"\\";
        const std::wstring file = std::wstring(length, L'f') + L'\xFFFF' + L".reg";
        const auto args = SplitCommandLine(DiagService::ExportCommandLine(RegSaveInfo{key.c_str(), file.c_str()}));
        ASSERT_EQ(args.size(), 5u) << "length " << length;
        ASSERT_EQ(args[2], key) << "length " << length;
        ASSERT_EQ(args[3], file) << "length " << length;
    }
}

}  // namespace
