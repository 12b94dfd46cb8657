#pragma once
// Small helpers shared by the common library's tests.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/VqError.h"

namespace common_tests {

// A handle or address as the trace prints it: low 32 bits, 16 digits.
inline std::string Hex16(const void* value) {
    char text[17];
    std::snprintf(text, sizeof(text), "%016X",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(value) & 0xFFFFFFFFu));
    return text;
}

inline std::string Hex8(DWORD value) {
    char text[9];
    std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(value));
    return text;
}

// Runs the action, which must throw the system's error object, and returns it.
inline VqBase::CVqError ExpectVqError(const std::function<void()>& action) {
    try {
        action();
    } catch (VqBase::CVqError& error) {
        return error;
    }
    ADD_FAILURE() << "no CVqError thrown";
    return VqBase::CVqError(VqBase::ErrorCode(0), nullptr, 0, nullptr);
}

}  // namespace common_tests
