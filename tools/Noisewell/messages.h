// Every line Noisewell prints, in one place.
#pragma once

namespace noisewell::msg {

constexpr const char kOpenFailFormat[] = "Fail to open file %s\n";
constexpr const char kWakeUpFailureFormat[] = "SHA204A Wake Up Failure! ret_code=0x%02x\n";
constexpr const char kChallengeFailureFormat[] =
    "SHA204A Update Challenge Failure! ret_code=0x%02x\n";
constexpr const char kCreateFailed[] = "Failed to create file for random number";
constexpr const char kWriteFailed[] = "Failed to write random number";

// The dump: an empty line, "Random:", then the values eight to a line, each line ending in
// ", ".
constexpr const char kDumpHeading[] = "\nRandom:";
constexpr const char kDumpValueFormat[] = "0x%02x, ";

}  // namespace noisewell::msg
