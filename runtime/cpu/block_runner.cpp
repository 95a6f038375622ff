#include "block_runner.h"

#include <pthread.h>

#include <algorithm>
#include <new>

#include "memcheck.h"

#if defined(GPU_RUNTIME_ASAN_FIBERS)
#include <sanitizer/asan_interface.h>
#endif

namespace gpu_runtime::cpu {

namespace {
thread_local BlockRunner* current_runner = nullptr;
}  // namespace

BlockRunner& BlockRunner::for_this_thread() {
  static thread_local BlockRunner runner;
  current_runner = &runner;
  return runner;
}

BlockRunner* BlockRunner::current() { return current_runner; }

BlockRunner::BlockRunner() : shared_(new SharedMemory) {
  // Thread 0 runs on this stack and is switched to like any fiber, so its
  // bounds are needed to announce those switches to the sanitizers.
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* bottom = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &bottom, &size) == 0) {
      worker_stack_bottom_ = bottom;
      worker_stack_size_ = size;
    }
    pthread_attr_destroy(&attr);
  }
}

void BlockRunner::set_block_shape(dim3 block) {
  if (block.x == shape_.x && block.y == shape_.y && block.z == shape_.z) return;
  shape_ = block;
  threads_ = block.x * block.y * block.z;
  indices_.resize(threads_);
  unsigned t = 0;
  for (unsigned z = 0; z < block.z; ++z)
    for (unsigned y = 0; y < block.y; ++y)
      for (unsigned x = 0; x < block.x; ++x) indices_[t++] = uint3{x, y, z};
}

void BlockRunner::run_span(Launch& launch, std::uint64_t first, std::uint64_t last) {
  if (runs_rows(launch)) {
    // Runs of blocks along x, each in one call of the block function.
    const std::uint64_t gx = launch.grid.x;
    for (std::uint64_t b = first; b < last && !launch.stopped.load(std::memory_order_relaxed);) {
      const std::uint64_t row = std::min(last - b, gx - b % gx);
      run(launch, b, unsigned(row));
      b += row;
    }
    return;
  }
  for (std::uint64_t b = first; b < last && !launch.stopped.load(std::memory_order_relaxed); ++b) run(launch, b);
}

// Rows of blocks when the kernel's block function can run them (no
// barriers, no shared memory). Checked runs go block by block: their
// records are kept per block.
bool BlockRunner::runs_rows(const Launch& launch) const {
  return launch.block_function && launch.ops->form->rows && !launch.checks && launch.grid.x > 1;
}

void BlockRunner::run(Launch& launch, std::uint64_t block, unsigned blocks_x) {
  launch_ = &launch;
  block_ = block;
  set_block_shape(launch.block);
  const std::uint64_t gx = launch.grid.x, gy = launch.grid.y;
  ThreadState& state = running_thread;
  state.block = uint3{unsigned(block % gx), unsigned(block / gx % gy), unsigned(block / (gx * gy))};
  state.block_dim = launch.block;
  state.grid_dim = launch.grid;
  state.thread = uint3{0, 0, 0};
  state.shared = shared_->bytes;
  state.dynamic_shared = shared_->bytes + launch.ops->form->static_shared;
  diverged_ = false;
  if (launch.checks)
    begin_checked_block(block, state.block, state.block_dim, state.shared,
                        launch.ops->form->static_shared + launch.dynamic_shared);
  if (launch.block_function) run_block_function(launch, blocks_x);
  else run_threads(launch);
  if (launch.checks) end_checked_block();
  mode_ = Mode::Idle;
}

void BlockRunner::abandon_block() {
  if (launch_ && launch_->checks) end_checked_block();
  for (unsigned t = 1; t < stacks_.size(); ++t) {
#if defined(GPU_RUNTIME_ASAN_FIBERS)
    // The abandoned frames leave their poisoned red zones behind.
    __asan_unpoison_memory_region(stacks_[t].bottom(), FiberStack::kSize);
#endif
    contexts_[t] = make_context(stacks_[t], t, &fiber_entry);
  }
  mode_ = Mode::Idle;
  current_ = 0;
  ended_ = 0;
  arrived_ = 0;
  diverged_ = false;
}

bool BlockRunner::stack_holding(const void* p, std::uintptr_t& lo, std::size_t& size) const {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  auto holds = [&](const void* bottom, std::size_t bytes) {
    const auto b = reinterpret_cast<std::uintptr_t>(bottom);
    if (at < b || at - b >= bytes) return false;
    lo = b;
    size = bytes;
    return true;
  };
  if (holds(worker_stack_bottom_, worker_stack_size_)) return true;
  for (const FiberStack& s : stacks_)
    if (holds(s.bottom(), FiberStack::kSize)) return true;
  return false;
}

uint3 BlockRunner::block_running() const {
  uint3 block = running_thread.block;
  if (mode_ == Mode::Block && place_.blocks_x > 1) block.x = place_.block[0];
  return block;
}

void BlockRunner::run_block_function(Launch& launch, unsigned blocks_x) {
  const std::size_t need = std::size_t(threads_) * launch.ops->form->scratch_per_thread;
  if (need > scratch_size_) {
    scratch_.reset(new (std::align_val_t(64), std::nothrow) unsigned char[need]);
    scratch_size_ = scratch_ ? need : 0;
    // Without room for every thread's slots, the block still runs: a thread
    // at a time, each on a stack of its own.
    if (!scratch_) return run_threads(launch);
  }
  const ThreadState& state = running_thread;
  BlockPlace& place = place_;
  place = BlockPlace{};
  for (int d = 0; d < 3; ++d) {
    place.block[d] = (&state.block.x)[d];
    place.block_dim[d] = (&state.block_dim.x)[d];
    place.grid_dim[d] = (&state.grid_dim.x)[d];
  }
  place.shared = state.shared;
  place.dynamic_shared = state.dynamic_shared;
  place.scratch = scratch_.get();
  place.blocks_x = blocks_x;
  mode_ = Mode::Block;
  if (launch.ops->run_block(launch.args.data(), place) != 0) diverged(place.divergent_lines[0], place.divergent_lines[1]);
}

void BlockRunner::run_threads(Launch& launch) {
  const unsigned char* args = launch.args.data();
  current_ = 0;
  ended_ = 0;
  arrived_ = 0;
  mode_ = threads_ == 1 ? Mode::Single : Mode::Direct;
  launch.ops->run_thread(args);

  if (mode_ == Mode::Direct) {
    // Thread 0 met no barrier: the others run one after another.
    mode_ = Mode::Loop;
    for (unsigned t = 1; t < threads_; ++t) {
      running_thread.thread = indices_[t];
      launch.ops->run_thread(args);
    }
  } else if (mode_ == Mode::Fibers) {
    // Thread 0 has ended after meeting barriers: the worker waits while the
    // others finish, and the last one to end comes back here.
    finished_[0] = 1;
    ++ended_;
    if (arrived_ > 0) diverged(phase_line_, 0);
    current_ = threads_;
    const unsigned next = next_unfinished(0);
    if (next < threads_) switch_to(next);
  }
}

SwitchTarget BlockRunner::target(unsigned thread) const {
  if (thread >= threads_) return {worker_context_, worker_stack_bottom_, worker_stack_size_};
  if (thread == 0) return {contexts_[0], worker_stack_bottom_, worker_stack_size_};
  return {contexts_[thread], stacks_[thread].bottom(), FiberStack::kSize};
}

unsigned BlockRunner::next_unfinished(unsigned after) const {
  for (unsigned t = after + 1; t < threads_; ++t)
    if (!finished_[t]) return t;
  for (unsigned t = 0; t <= after && t < threads_; ++t)
    if (!finished_[t]) return t;
  return threads_;
}

void BlockRunner::fiber_entry(Transfer t) {
  BlockRunner& self = *current_runner;
  arrived_in_new_fiber();
  *static_cast<Context*>(t.data) = t.fctx;
  // A fiber lives as long as its worker: after each thread it has run, it
  // waits to run the thread of the same index in a later block.
  for (;;) {
    self.launch_->ops->run_thread(self.launch_->args.data());
    self.finish_current();
  }
}

void BlockRunner::switch_to(unsigned thread) {
  const unsigned from = current_;
  current_ = thread;
  if (thread < threads_) {
    running_thread.thread = indices_[thread];
    // Threads take turns in index order: start fetching the saved registers
    // and top frames of the one after this one, which usually runs next.
    if (thread + 1 < threads_) {
      const char* next_stack = static_cast<const char*>(contexts_[thread + 1]);
      for (int line = 0; line < 4; ++line) __builtin_prefetch(next_stack + 64 * line);
    }
  }
  Context* save = from < threads_ ? &contexts_[from] : &worker_context_;
  const Transfer t = switch_context(target(thread), save);
  // Back on this thread: keep the context of the one that switched here.
  *static_cast<Context*>(t.data) = t.fctx;
}

void BlockRunner::finish_current() {
  finished_[current_] = 1;
  ++ended_;
  // Ending while others wait at a barrier: they would wait for ever.
  if (arrived_ > 0) diverged(phase_line_, 0);
  switch_to(next_unfinished(current_));
}

void BlockRunner::start_other_threads() {
  contexts_.resize(std::max<std::size_t>(contexts_.size(), 1));
  while (stacks_.size() < threads_) {
    const unsigned index = static_cast<unsigned>(stacks_.size());
    stacks_.emplace_back();
    contexts_.resize(index + 1);
    if (index > 0) contexts_[index] = make_context(stacks_[index], index, &fiber_entry);
  }
  finished_.assign(threads_, 0);
}

int BlockRunner::barrier(int predicate, int line) {
  switch (mode_) {
    case Mode::Single:
      return predicate != 0;
    case Mode::Loop:
      // Thread 0 ended without this barrier: the block's threads disagree.
      diverged(line, 0);
      return 0;
    case Mode::Block:
    case Mode::Idle:
      // A barrier the compiler did not see: the block function cannot honour it.
      if (launch_) launch_->raise(cudaErrorLaunchFailure);
      return 0;
    case Mode::Direct:
      // Thread 0 met the block's first barrier: every other thread needs a fiber.
      try {
        start_other_threads();
      } catch (const std::bad_alloc&) {
        // No stacks to be had: the launch fails, as a GPU's does when a block
        // needs more than it has; thread 0 ends alone, its barriers passing.
        // The stacks made on the way are given back: the address space they
        // hold is what the program's next allocations need.
        stacks_.clear();
        contexts_.resize(1);
        launch_->raise(cudaErrorLaunchFailure);
        mode_ = Mode::Single;
        return predicate != 0;
      }
      mode_ = Mode::Fibers;
      [[fallthrough]];
    case Mode::Fibers:
      break;
  }
  if (diverged_) return 0;
  if (ended_ > 0) {
    diverged(line, 0);
    return 0;
  }
  if (arrived_ == 0) {
    phase_line_ = line;
    counts_[phase_ & 1] = 0;
  } else if (line != phase_line_) {
    diverged(phase_line_, line);
    return 0;
  }
  const std::uint64_t phase = phase_;
  counts_[phase & 1] += predicate != 0;
  if (++arrived_ == threads_) {
    arrived_ = 0;
    ++phase_;
    if (launch_->checks) next_checked_phase();
  }
  const unsigned next = next_unfinished(current_);
  if (next != current_) switch_to(next);
  return counts_[phase & 1];
}

void BlockRunner::diverged(int line, int other_line) {
  if (diverged_) return;
  diverged_ = true;
  launch_->report_divergence(running_thread.block, line, other_line);
}

}  // namespace gpu_runtime::cpu
