// Runs the blocks of a launch on one worker thread, one block at a time.
//
// A barrier must be reached by every thread of a block or by none, so each
// block starts with thread 0 alone on a fiber. If it ends without meeting a
// barrier, the other threads run as a plain loop on the worker's own stack.
// If it meets one, every thread gets a fiber, and a thread arriving at a
// barrier hands over directly to the next unfinished thread in index order,
// wrapping round. A thread therefore passes barrier k only after every other
// unfinished thread has arrived at it; a finished thread counts as arrived.
// The last thread to finish returns to the worker. Fibers and their stacks
// are kept and reused by later blocks. A one-thread block needs no fiber.
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

  /// The current thread of the running block arrived at __syncthreads().
  void barrier();

 private:
  enum class Mode { Idle, Single, Probe, Loop, Fibers };

  static void fiber_entry(Transfer t);
  void set_block_shape(dim3 block);
  void ensure_fibers(unsigned count);
  void start_all_fibers();
  unsigned next_unfinished(unsigned after) const;  ///< threads_ when none is left
  SwitchTarget target(unsigned thread) const;
  void switch_to(unsigned thread);
  void finish_current();  /// returns when the fiber is given a thread of a later block

  Mode mode_ = Mode::Idle;
  Launch* launch_ = nullptr;
  dim3 shape_{0, 0, 0};
  unsigned threads_ = 0;
  unsigned current_ = 0;
  std::vector<uint3> indices_;  ///< threadIdx of each linear thread
  std::vector<FiberStack> stacks_;
  std::vector<Context> contexts_;  ///< where each fiber resumes
  std::vector<unsigned char> finished_;
  Context worker_context_ = nullptr;
  const void* worker_stack_bottom_ = nullptr;
  std::size_t worker_stack_size_ = 0;
};

}  // namespace gpu_cpu
