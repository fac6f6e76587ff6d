#pragma once
// The stages of one route, for both ways of watching it: each stage begins a
// progress stage on the call's control block and, when VELNOR_PROFILE is
// set, ends with its "[velnor]" timing line.
#include <cstdint>
#include <string>

#include "core/control.hpp"
#include "core/profile.hpp"

namespace velnor {

class StageLines {
 public:
  StageLines() : profile_(profiling_enabled()) {}
  StageLines(const StageLines&) = delete;
  StageLines& operator=(const StageLines&) = delete;

  // Ends the running stage (its line) and begins `label` with `units`
  // (0 when unknown); `detail` follows the label in the progress line only.
  // Throws Cancelled when the call was asked to stop.
  void begin(const char* label, std::uint64_t units = 0, const std::string& detail = "") {
    end();
    label_ = label;
    clock_.restart();
    begin_stage(detail.empty() ? std::string(label) : std::string(label) + detail, units);
  }

  // Ends the running stage, if any.
  void end() {
    if (label_ != nullptr && profile_) print_stage_line(label_, clock_.seconds());
    label_ = nullptr;
  }

 private:
  bool profile_;
  const char* label_ = nullptr;
  Stopwatch clock_;
};

}  // namespace velnor
