// Runs the blocks of a launch on one worker thread, one block at a time.
//
// A barrier must be reached by every thread of a block or by none, so each
// block starts with thread 0 alone on a fiber. If it ends without meeting a
// barrier, the other threads run as a plain loop on the worker's own stack.
// If it meets one, every thread gets a fiber and the block proceeds in
// rounds: each round resumes every unfinished thread once, running it to its
// next barrier or its end, so no thread passes a barrier before all have
// arrived. A one-thread block needs no fiber at all.
#pragma once

#include <cstdint>
#include <vector>

#include "fiber.h"
#include "launch.h"

namespace gpu_cpu {

class BlockRunner {
 public:
  /// The runner of the calling worker thread.
  static BlockRunner& for_this_thread();

  /// Runs block `block` (linear, x fastest) of `launch` to completion.
  void run(Launch& launch, std::uint64_t block);

  /// A thread of the running block arrived at __syncthreads().
  void barrier();

  /// Fibers switched into so far by this runner (for measurements).
  std::uint64_t fiber_switches() const { return switches_; }

 private:
  enum class Mode { Idle, Single, Probe, Loop, Fibers };

  static void fiber_entry(Transfer t);
  void prepare_fibers(unsigned count);
  void start_fiber(unsigned thread);
  bool resume(unsigned thread);  ///< true when the thread has finished
  void set_thread_index(unsigned thread) const;

  Mode mode_ = Mode::Idle;
  Launch* launch_ = nullptr;
  std::vector<FiberStack> stacks_;
  std::vector<Context> contexts_;
  std::vector<unsigned char> finished_;
  Context worker_context_ = nullptr;
  WorkerStack worker_stack_;
  std::uint64_t switches_ = 0;
};

}  // namespace gpu_cpu
