#pragma once

// Runs a step when the scope ends, whichever way it ends (return, break out of a phase, exception):
// the one exit path of a long function, written once at its top.
//
//   const ScopeExit finish([&] { engine.ClearRunning(); engine.Emit(Kind::Finished, "0"); });
//
// The step must not throw. `Dismiss()` skips it, for a scope that ends in a way the step must not
// follow.

#include <type_traits>
#include <utility>

namespace quarvelin {

template <typename Step>
class [[nodiscard]] ScopeExit {
 public:
  explicit ScopeExit(Step step) noexcept(std::is_nothrow_move_constructible_v<Step>)
      : step_(std::move(step)) {}
  ~ScopeExit() {
    if (armed_) step_();
  }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

  void Dismiss() noexcept { armed_ = false; }

 private:
  Step step_;
  bool armed_ = true;
};

}  // namespace quarvelin
