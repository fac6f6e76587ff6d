#pragma once
// Optional timing lines on standard error, switched on by VELNOR_PROFILE, and
// the environment reads that go with them.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace velnor {

// The variable's value when it is set to valid UTF-8 (the empty string
// included); nothing when it is unset or not valid Unicode.
std::optional<std::string> env_unicode(const char* name);

// True when VELNOR_PROFILE is set to any valid Unicode value.
bool profiling_enabled();

// Seconds on a monotonic clock since construction or the last restart.
class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double seconds() const;
  void restart() { start_ = std::chrono::steady_clock::now(); }

 private:
  std::chrono::steady_clock::time_point start_;
};

// Writes one whole line (a newline is appended) to standard error.
void print_profile_line(std::string_view line);

// A stage line: "[velnor] ", the label left-justified in 14 characters, a
// space, then the seconds right-justified in 7 with three decimals and "s".
void print_stage_line(const char* label, double seconds);

// "%.3f" of a duration in seconds.
std::string format_seconds(double seconds);

}  // namespace velnor
