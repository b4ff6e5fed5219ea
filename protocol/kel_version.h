// The toolset's version, kept as the three parts that the version line and
// the generated banner print one after the other ("0.9" ".02" "").
#pragma once

#include <string>

namespace kelversion {
constexpr const char* kMajor = "0.9";
constexpr const char* kMinor = ".02";
constexpr const char* kPatch = "";
}  // namespace kelversion

// "0.9.02": the version as keltrace --version prints it after "KEL v", and
// as its report files name it.
inline std::string keltraceVersion() {
    return std::string(kelversion::kMajor) + kelversion::kMinor + kelversion::kPatch;
}
