// Fibers for GPU threads that meet at barriers: a stack and a saved context,
// switched with Boost.Context's fcontext primitives. Under AddressSanitizer
// every switch is announced so it tracks the right stack.
#pragma once

#include <cstddef>

namespace gpu_runtime::cpu {

/// A stack for one fiber: mapped on demand, with a guard page below it so an
/// overflow faults instead of corrupting a neighbour. Non-copyable.
class FiberStack {
 public:
  static constexpr std::size_t kSize = 256 * 1024;

  /// Throws std::bad_alloc when the stack or its guard page cannot be
  /// mapped (address space or the process's count of mappings exhausted).
  FiberStack();
  ~FiberStack();
  FiberStack(const FiberStack&) = delete;
  FiberStack& operator=(const FiberStack&) = delete;
  FiberStack(FiberStack&& other) noexcept;
  FiberStack& operator=(FiberStack&&) = delete;

  void* bottom() const { return usable_; }  ///< lowest usable address
  void* top() const { return static_cast<char*>(usable_) + kSize; }

 private:
  void* mapping_ = nullptr;
  void* usable_ = nullptr;
};

/// A suspended fiber (or worker): its saved stack pointer.
using Context = void*;

/// What a switch hands to the side it resumes: the context of the side that
/// switched (so it can be resumed in turn) and a word of data.
struct Transfer {
  Context fctx;
  void* data;
};

/// Prepares a context that starts `entry` on `stack` at its first switch.
/// Fibers of different `index` start their stacks at different offsets within
/// a page, so the hot top frames of many fibers do not all fall into the same
/// cache sets.
Context make_context(const FiberStack& stack, unsigned index, void (*entry)(Transfer));

/// Where a switch goes: the context to resume and the stack it runs on.
struct SwitchTarget {
  Context context;
  const void* stack_bottom;
  std::size_t stack_size;
};

/// Switches to `to`, handing it `data`; returns when something switches back.
Transfer switch_context(const SwitchTarget& to, void* data);

/// Completes the first switch into a fiber, on arrival there.
void arrived_in_new_fiber();


}  // namespace gpu_runtime::cpu
