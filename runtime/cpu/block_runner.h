// Runs the blocks of a launch on one worker thread, one block at a time.
//
// A barrier must be reached by every thread of a block or by none, so each
// block starts with thread 0 alone, on the worker's own stack. If it ends
// without meeting a barrier, the other threads run after it as a plain loop:
// a barrier-free kernel never touches a fiber. If thread 0 meets a barrier,
// every other thread gets a fiber, and a thread arriving at a barrier hands
// over directly to the next unfinished thread in index order, wrapping round
// (thread 0 is resumed on the worker's stack where it stopped). A thread
// therefore passes barrier k only after every other unfinished thread has
// arrived at it; a finished thread counts as arrived. When thread 0 has
// finished, the worker waits for the others and the last one returns to it.
// Fibers and their stacks are kept and reused by later blocks.
//
// A kernel split at its barriers at build time (compiler/split_barriers)
// needs none of this: its region form runs the whole block on the worker's
// stack, one region at a time for all threads.
#pragma once

#include <cstdint>
#include <vector>

#include "fiber.h"
#include "launch_record.h"

namespace gpu_runtime::cpu {

class BlockRunner {
 public:
  /// The runner of the calling worker thread.
  static BlockRunner& for_this_thread();

  /// Runs block `block` (linear, x fastest) of `launch` to completion.
  void run(Launch& launch, std::uint64_t block);

  /// Runs blocks first .. last - 1 of `launch`, through its row form where
  /// it has one (blocks in the same row of the grid side by side).
  void run_span(Launch& launch, std::uint64_t first, std::uint64_t last);

  /// The current thread of the running block arrived at __syncthreads().
  void barrier();

 private:
  enum class Mode {
    Idle,
    Single,  ///< a one-thread block: barriers pass at once
    Direct,  ///< thread 0 runs alone on the worker's stack
    Loop,    ///< threads 1.. run as a plain loop: no barrier may come
    Fibers,  ///< every thread has its own stack; barriers hand over
    Regions,  ///< the kernel's region form runs the block: no barrier may come
    Rows,     ///< the kernel's row form runs blocks side by side: no barrier may come
  };

  BlockRunner();
  /// Takes up block `block` of `launch`: its place in the grid.
  void enter(Launch& launch, std::uint64_t block);
  static void fiber_entry(Transfer t);
  void set_block_shape(dim3 block);
  void start_other_threads();
  unsigned next_unfinished(unsigned after) const;  ///< threads_ when none is left
  SwitchTarget target(unsigned thread) const;
  void switch_to(unsigned thread);
  void finish_current();  ///< returns when the fiber is given a thread of a later block

  Mode mode_ = Mode::Idle;
  Launch* launch_ = nullptr;
  dim3 shape_{0, 0, 0};
  unsigned threads_ = 0;
  unsigned current_ = 0;
  gpu_runtime::ThreadPlace place_{};  ///< the running block; .thread is thread 0's
  std::vector<uint3> indices_;  ///< threadIdx of each linear thread
  std::vector<FiberStack> stacks_;  ///< stacks_[t] for thread t >= 1 (thread 0 uses the worker's)
  std::vector<Context> contexts_;   ///< where each thread resumes
  std::vector<unsigned char> finished_;
  Context worker_context_ = nullptr;  ///< the worker, waiting for the block's last threads
  const void* worker_stack_bottom_ = nullptr;
  std::size_t worker_stack_size_ = 0;
};

}  // namespace gpu_runtime::cpu
