#pragma once
// The control block of one long call: whoever started the call may ask it to
// stop, and reads how far it is. The core work installs it for its thread
// with ControlScope; every parallel loop started from there checks the stop
// request before each chunk of indices and reports progress into it.
//
// Progress is a sequence of stages, each with a name and a number of units
// (0 when the count is not known in advance). Loops run with
// Loop::counted add one unit per finished iteration to the current stage.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

namespace velnor {

// Thrown once a cancelled call's loops have stopped; unwinds the core work
// like any failure.
struct Cancelled : std::exception {
  const char* what() const noexcept override { return "the call was cancelled"; }
};

class Control {
 public:
  struct Progress {
    std::string stage;         // empty before the first stage
    std::uint64_t done = 0;    // finished units of the stage
    std::uint64_t total = 0;   // units of the stage, 0 when unknown
    double stage_seconds = 0;  // since the stage began
  };

  // Asks the call to stop; safe from any thread.
  void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
  bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

  // Starts a stage of `total` units (0 when unknown).
  void begin_stage(std::string name, std::uint64_t total);
  void advance(std::uint64_t units) noexcept { done_.fetch_add(units, std::memory_order_relaxed); }
  Progress progress() const;

 private:
  std::atomic<bool> cancelled_{false};
  std::atomic<std::uint64_t> done_{0};
  mutable std::mutex mutex_;  // guards the stage's name, total and start
  std::string stage_;
  std::uint64_t total_ = 0;
  std::chrono::steady_clock::time_point stage_start_{};
};

// Installs a control block for the calling thread for the scope's lifetime.
class ControlScope {
 public:
  explicit ControlScope(Control* control);
  ~ControlScope();
  ControlScope(const ControlScope&) = delete;
  ControlScope& operator=(const ControlScope&) = delete;

 private:
  Control* previous_;
};

// The control block installed on the calling thread, or nullptr.
Control* current_control();

// Starts a stage on the calling thread's control block, if any. Throws
// Cancelled when the call was asked to stop, so long serial steps between
// loops end there too.
void begin_stage(std::string name, std::uint64_t total = 0);

}  // namespace velnor
