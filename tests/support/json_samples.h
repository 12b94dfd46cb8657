#pragma once
// diagctl's --json output kept as samples for the check against the
// documented schema (scripts/check-json, the test diagctl.json_schema).
#include <filesystem>
#include <fstream>
#include <string>

namespace testing_support {

// The line of output that is the JSON object (messages begin "diagctl:").
inline std::string JsonLine(const std::string& output) {
    const size_t start = output.rfind("\n{") != std::string::npos ? output.rfind("\n{") + 1 : output.find('{');
    if (start == std::string::npos) return {};
    return output.substr(start, output.find('\n', start) - start);
}

// Writes json as VQ_JSON_SAMPLES/NAME.json.
inline void KeepJsonSample(const std::string& name, const std::string& json) {
    std::filesystem::create_directories(VQ_JSON_SAMPLES);
    std::ofstream(std::filesystem::path(VQ_JSON_SAMPLES) / (name + ".json"), std::ios::binary) << json << "\n";
}

}  // namespace testing_support
