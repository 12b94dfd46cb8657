#include "common/performance.h"

#include "base/VqError.h"
#include "base/LastError.h"
#include "base/VqTrace.h"

namespace performance {

namespace {

constexpr wchar_t kFile[] = L"common\\performance";

// The service object is a static of the program whose construction may wait
// on events and therefore time scopes; the frequency must be known before
// any such object is built, whatever the link order of the translation
// units. Both compilers are told to run this initialiser in the earliest
// group of the program's own static objects. This unit is always linked in
// because every scope, including the event waits, calls into it.
struct frequency_holder {
    std::int64_t value = code_execution::get_counter_frequency();
};

#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4073)  // initialisers put in library initialisation area
#pragma init_seg(lib)
const frequency_holder g_Frequency;
#pragma warning(pop)
#elif defined(__GNUC__)
const frequency_holder g_Frequency __attribute__((init_priority(101)));
#else
#error "The counter frequency needs an early static initialiser on this compiler."
#endif

}  // namespace

std::int64_t counter_frequency() { return g_Frequency.value; }

code_execution::code_execution(const wchar_t* name, bool measure)
    : code_execution(name, measure, &code_execution::get_counter_value, counter_frequency()) {}

code_execution::code_execution(const wchar_t* name, bool measure, counter_function counter, std::int64_t frequency)
    : m_Name(name), m_Counter(counter), m_Frequency(frequency) {
    VqBase::GetTrace().TraceW(VqBase::TL_INFO, L"[%s] <<", m_Name);
    // The entry line is written before the clock starts, so its cost is not
    // counted.
    if (measure) m_Start = m_Counter();
}

code_execution::~code_execution() {
    VqBase::LastErrorKeeper keep;
    if (m_Start != 0) {
        // A failed counter read cannot leave a destructor; the elapsed time
        // then stays 0.
        try {
            m_Elapsed = m_Counter() - m_Start;
        } catch (...) {
            m_Elapsed = 0;
        }
        m_Start = 0;
        const double milliseconds =
            m_Frequency != 0 ? 1000.0 * static_cast<double>(m_Elapsed) / static_cast<double>(m_Frequency) : 0.0;
        VqBase::GetTrace().TraceW(VqBase::TL_INFO, L"[%s] >> ~%.3f ms", m_Name, milliseconds);
    } else {
        VqBase::GetTrace().TraceW(VqBase::TL_INFO, L"[%s] >>", m_Name);
    }
}

std::int64_t code_execution::get_counter_frequency() {
    LARGE_INTEGER value{};
    if (!::QueryPerformanceFrequency(&value)) {
        const DWORD error = ::GetLastError();
        constexpr wchar_t kFunction[] = L"performance::code_execution::get_counter_frequency";
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] QueryPerformanceFrequency(), 0x%08X", kFunction, error);
        VqBase::ThrowError(VqBase::ErrorCode(error), kFile, __LINE__, kFunction);
    }
    return value.QuadPart;
}

std::int64_t code_execution::get_counter_value() {
    LARGE_INTEGER value{};
    if (!::QueryPerformanceCounter(&value)) {
        const DWORD error = ::GetLastError();
        constexpr wchar_t kFunction[] = L"performance::code_execution::get_counter_value";
        VqBase::GetTrace().TraceW(VqBase::TL_ERROR, L"[%s] QueryPerformanceCounter(), 0x%08X", kFunction, error);
        VqBase::ThrowError(VqBase::ErrorCode(error), kFile, __LINE__, kFunction);
    }
    return value.QuadPart;
}

}  // namespace performance
