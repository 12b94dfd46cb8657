#pragma once
// The scope timer: entry and exit lines, optionally the time in between.
#include <windows.h>

#include <cstdint>

namespace performance {

class code_execution {
public:
    // Where a measuring scope reads the counter; the product reads the
    // performance counter, tests substitute a scripted one.
    using counter_function = std::int64_t (*)();

    // The name must outlive the object (the program passes literals).
    code_execution(const wchar_t* name, bool measure);
    // The same with another counter and its ticks per second.
    code_execution(const wchar_t* name, bool measure, counter_function counter, std::int64_t frequency);
    ~code_execution();
    code_execution(const code_execution&) = delete;
    code_execution& operator=(const code_execution&) = delete;

    static std::int64_t get_counter_frequency();
    static std::int64_t get_counter_value();

private:
    const wchar_t* m_Name;
    std::int64_t m_Start = 0;
    std::int64_t m_Elapsed = 0;
    counter_function m_Counter;
    std::int64_t m_Frequency;
};

// The counter frequency read once during static initialisation, before any
// other static object of the program.
std::int64_t counter_frequency();

}  // namespace performance
