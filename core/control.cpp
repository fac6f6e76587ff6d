#include "core/control.hpp"

#include <utility>

namespace velnor {

namespace {

thread_local Control* installed = nullptr;

}  // namespace

void Control::begin_stage(std::string name, std::uint64_t total) {
  std::lock_guard<std::mutex> lock(mutex_);
  stage_ = std::move(name);
  total_ = total;
  stage_start_ = std::chrono::steady_clock::now();
  done_.store(0, std::memory_order_relaxed);
}

Control::Progress Control::progress() const {
  Progress p;
  std::lock_guard<std::mutex> lock(mutex_);
  p.stage = stage_;
  p.total = total_;
  p.done = done_.load(std::memory_order_relaxed);
  if (!stage_.empty()) {
    p.stage_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stage_start_).count();
  }
  return p;
}

ControlScope::ControlScope(Control* control) : previous_(installed) { installed = control; }

ControlScope::~ControlScope() { installed = previous_; }

Control* current_control() { return installed; }

void begin_stage(std::string name, std::uint64_t total) {
  Control* control = installed;
  if (control == nullptr) return;
  if (control->cancelled()) throw Cancelled();
  control->begin_stage(std::move(name), total);
}

}  // namespace velnor
