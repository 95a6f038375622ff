// Runs the blocks of a launch on one worker thread, one block at a time.
//
// A kernel the compiler gave a block function (compiler/pass) runs each
// block through it: every thread of the block as loops over the regions
// between its barriers, on the worker's own stack.
//
// Any other kernel (or every kernel under CUDART_BARRIERS=fibers) runs a
// thread at a time. Each block starts with thread 0 alone, on the worker's
// stack. If it ends without meeting a barrier, the other threads run after
// it one by one: a barrier-free kernel never touches a fiber. If thread 0
// meets a barrier, every other thread gets a fiber, and a thread arriving
// at a barrier hands over directly to the next unfinished thread in index
// order, wrapping round. A thread therefore passes barrier k only after
// every other thread has arrived at it. Fibers and their stacks are kept
// and reused by later blocks.
//
// Every thread of a block must reach the same barrier, or all must end:
// threads stopping at different barriers, or some ending while others wait,
// fail the launch with "unspecified launch failure" and one line on
// standard error naming the kernel, the block and the barriers' lines.
// Both ways of running a block detect it the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "device.h"
#include "fiber.h"
#include "launch_record.h"
#include "thread_state.h"

namespace gpu_runtime::cpu {

class BlockRunner {
 public:
  /// The runner of the calling worker thread.
  static BlockRunner& for_this_thread();
  /// The runner of the calling worker thread, or null when it has none.
  static BlockRunner* current();

  /// Runs blocks first .. last - 1 (linear, x fastest) of `launch`.
  void run_span(Launch& launch, std::uint64_t first, std::uint64_t last);

  /// The block the worker is in; in a row of blocks, the one the block
  /// function last started (it writes that block's x into its place).
  uint3 block_running() const;

  /// The running thread arrived at a barrier (a counting one counts
  /// `predicate`); returns, once every thread of the block has arrived, how
  /// many passed a non-zero predicate.
  int barrier(int predicate, int line);

  /// Kernel code left the running block by a jump (fault.h), from this
  /// worker's stack or a fiber's: forgets the block, and gives every fiber
  /// a fresh start, their frames being abandoned.
  void abandon_block();

  /// Whether `p` lies on the worker's stack or one of its fibers' stacks;
  /// if so, that stack is [lo, lo + size).
  bool stack_holding(const void* p, std::uintptr_t& lo, std::size_t& size) const;

  /// The worker's own stack.
  const void* worker_stack_bottom() const { return worker_stack_bottom_; }
  std::size_t worker_stack_size() const { return worker_stack_size_; }

 private:
  enum class Mode {
    Idle,
    Single,  ///< a one-thread block: barriers pass at once
    Direct,  ///< thread 0 runs alone on the worker's stack
    Loop,    ///< thread 0 ended without a barrier; the others run one by one
    Fibers,  ///< every thread has its own stack; barriers hand over
    Block,   ///< a block function runs the block
  };

  BlockRunner();
  /// Runs `block` and, for a row, the blocks_x - 1 after it along x.
  void run(Launch& launch, std::uint64_t block, unsigned blocks_x = 1);
  bool runs_rows(const Launch& launch) const;
  void run_block_function(Launch& launch, unsigned blocks_x);
  void run_threads(Launch& launch);
  static void fiber_entry(Transfer t);
  void set_block_shape(dim3 block);
  void start_other_threads();
  unsigned next_unfinished(unsigned after) const;  ///< threads_ when none is left
  SwitchTarget target(unsigned thread) const;
  void switch_to(unsigned thread);
  void finish_current();  ///< returns when the fiber is given a thread of a later block
  void diverged(int line, int other_line);

  Mode mode_ = Mode::Idle;
  BlockPlace place_{};  ///< what the block function runs with; a member, so that a fault can read it
  Launch* launch_ = nullptr;
  std::uint64_t block_ = 0;
  dim3 shape_{0, 0, 0};
  unsigned threads_ = 0;
  unsigned current_ = 0;
  std::vector<uint3> indices_;       ///< threadIdx of each linear thread
  std::vector<FiberStack> stacks_;   ///< stacks_[t] for thread t >= 1 (thread 0 uses the worker's)
  std::vector<Context> contexts_;    ///< where each thread resumes
  std::vector<unsigned char> finished_;
  Context worker_context_ = nullptr;  ///< the worker, waiting for the block's last threads
  const void* worker_stack_bottom_ = nullptr;
  std::size_t worker_stack_size_ = 0;

  // Barrier phases of the running block, when threads run one at a time.
  unsigned ended_ = 0;           ///< threads that have ended
  unsigned arrived_ = 0;         ///< threads at the barrier of the phase under way
  int phase_line_ = 0;           ///< that barrier's line
  std::uint64_t phase_ = 0;      ///< phases completed
  int counts_[2] = {0, 0};       ///< non-zero predicates of the last two phases
  bool diverged_ = false;        ///< the block's threads disagreed: barriers no longer wait

  // Memory of the running block.
  struct alignas(64) SharedMemory {
    unsigned char bytes[DeviceLimits::kSharedMemoryPerBlock];
  };
  std::unique_ptr<SharedMemory> shared_;
  /// Frees what was allocated aligned as such.
  struct AlignedDelete {
    void operator()(unsigned char* p) const { ::operator delete[](p, std::align_val_t(64)); }
  };
  std::unique_ptr<unsigned char[], AlignedDelete> scratch_;  ///< per-thread slots of block functions
  std::size_t scratch_size_ = 0;
};

}  // namespace gpu_runtime::cpu
