// Fibers for GPU threads that meet at barriers: a stack and a saved context,
// switched with Boost.Context's fcontext primitives. Under AddressSanitizer
// every switch is announced so it tracks the right stack.
#pragma once

#include <boost/context/detail/fcontext.hpp>

#include <cstddef>

namespace gpu_cpu {

/// A stack for one fiber: mapped on demand, with a guard page below it so an
/// overflow faults instead of corrupting a neighbour. Non-copyable.
class FiberStack {
 public:
  static constexpr std::size_t kSize = 256 * 1024;

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

using Context = boost::context::detail::fcontext_t;
using Transfer = boost::context::detail::transfer_t;

/// Prepares a context that starts `entry` on `stack` at its first switch.
Context make_context(const FiberStack& stack, void (*entry)(Transfer));

/// Switches from the worker's own stack into a fiber on `stack`; returns when
/// the fiber switches back.
Transfer switch_into_fiber(Context to, const FiberStack& stack, void* data);

/// Stack bounds of the worker thread, learned on a fiber's first entry.
struct WorkerStack {
  const void* bottom = nullptr;
  std::size_t size = 0;
};

/// First thing a fiber does: completes the switch that started it.
void fiber_started(WorkerStack& worker);

/// Switches from a fiber back to the worker; returns when resumed.
Transfer switch_to_worker(Context to, const WorkerStack& worker, void* data);

/// The fiber's last switch: it never resumes.
[[noreturn]] void leave_fiber(Context to, const WorkerStack& worker, void* data);

}  // namespace gpu_cpu
