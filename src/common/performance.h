#pragma once
// The scope timer: entry and exit lines, optionally the time in between.
#include <windows.h>

#include <cstdint>

namespace performance {

class code_execution {
public:
    // The name must outlive the object (the program passes literals).
    code_execution(const wchar_t* name, bool measure);
    ~code_execution();
    code_execution(const code_execution&) = delete;
    code_execution& operator=(const code_execution&) = delete;

    static std::int64_t get_counter_frequency();
    static std::int64_t get_counter_value();

private:
    const wchar_t* m_Name;
    std::int64_t m_Start = 0;
    std::int64_t m_Elapsed = 0;
};

// The counter frequency read once during static initialisation, before any
// other static object of the program.
std::int64_t counter_frequency();

}  // namespace performance
