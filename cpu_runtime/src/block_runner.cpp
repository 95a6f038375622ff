#include "block_runner.h"

#include "gpu_runtime/device.h"

// The built-in indices of the GPU thread running on this worker thread.
__thread uint3 threadIdx;
__thread uint3 blockIdx;
__thread uint3 blockDim;
__thread uint3 gridDim;

namespace gpu_cpu {

namespace {
__thread BlockRunner* current_runner = nullptr;
}  // namespace

BlockRunner& BlockRunner::for_this_thread() {
  static thread_local BlockRunner runner;
  current_runner = &runner;
  return runner;
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

SwitchTarget BlockRunner::target(unsigned thread) const {
  if (thread >= threads_) return {worker_context_, worker_stack_bottom_, worker_stack_size_};
  return {contexts_[thread], stacks_[thread].bottom(), FiberStack::kSize};
}

unsigned BlockRunner::next_unfinished(unsigned after) const {
  for (unsigned t = after + 1; t < threads_; ++t)
    if (!finished_[t]) return t;
  for (unsigned t = 0; t <= after; ++t)
    if (!finished_[t]) return t;
  return threads_;
}

void BlockRunner::fiber_entry(Transfer t) {
  BlockRunner& self = *current_runner;
  // Only thread 0 is first entered from the worker; the others from a fiber.
  const bool from_worker = self.mode_ == Mode::Probe;
  arrived_in_new_fiber(from_worker ? &self.worker_stack_bottom_ : nullptr,
                       from_worker ? &self.worker_stack_size_ : nullptr);
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
    threadIdx = indices_[thread];
    // Threads take turns in index order: start fetching the saved registers
    // and top frames of the one after this one, which usually run next.
    if (thread + 1 < threads_) {
      const char* next_stack = static_cast<const char*>(contexts_[thread + 1]);
      for (int line = 0; line < 4; ++line) __builtin_prefetch(next_stack + 64 * line);
    }
  }
  const Transfer t = switch_context(target(thread), &contexts_[from]);
  // Back on this thread's fiber: keep the context of the one that switched here.
  *static_cast<Context*>(t.data) = t.fctx;
}

void BlockRunner::finish_current() {
  unsigned next = threads_;
  if (mode_ == Mode::Fibers) {
    finished_[current_] = 1;
    next = next_unfinished(current_);
  }
  switch_to(next);
}

void BlockRunner::ensure_fibers(unsigned count) {
  while (stacks_.size() < count) {
    const unsigned index = static_cast<unsigned>(stacks_.size());
    stacks_.emplace_back();
    contexts_.push_back(make_context(stacks_.back(), index, &fiber_entry));
  }
}

void BlockRunner::start_all_fibers() {
  ensure_fibers(threads_);
  finished_.assign(threads_, 0);
}

void BlockRunner::run(Launch& launch, std::uint64_t block) {
  launch_ = &launch;
  gridDim = launch.grid;
  blockDim = launch.block;
  const std::uint64_t gx = launch.grid.x, gy = launch.grid.y;
  blockIdx = uint3{static_cast<unsigned>(block % gx), static_cast<unsigned>((block / gx) % gy),
                   static_cast<unsigned>(block / (gx * gy))};
  set_block_shape(launch.block);
  const unsigned char* args = launch.args.data();

  if (threads_ == 1) {
    mode_ = Mode::Single;
    threadIdx = uint3{0, 0, 0};
    launch.ops->run_thread(args);
    mode_ = Mode::Idle;
    return;
  }

  mode_ = Mode::Probe;
  ensure_fibers(1);
  current_ = 0;
  threadIdx = indices_[0];
  // Returns when thread 0 ends without a barrier, or when the whole block has
  // ended after one.
  const Transfer t = switch_context(target(0), &worker_context_);
  *static_cast<Context*>(t.data) = t.fctx;

  if (mode_ == Mode::Probe) {
    mode_ = Mode::Loop;
    launch.ops->run_threads(args, 1, threads_);
  }
  mode_ = Mode::Idle;
}

void BlockRunner::barrier() {
  switch (mode_) {
    case Mode::Probe:
      // Thread 0 met the block's first barrier: every thread needs a fiber.
      start_all_fibers();
      mode_ = Mode::Fibers;
      switch_to(1);
      return;
    case Mode::Fibers: {
      const unsigned next = next_unfinished(current_);
      if (next != current_) switch_to(next);
      return;
    }
    case Mode::Loop:
      // Thread 0 finished without this barrier: the block's threads disagree
      // on barriers, which a GPU cannot run either.
      launch_->raise(cudaErrorLaunchFailure);
      return;
    case Mode::Single:
    case Mode::Idle:
      return;
  }
}

}  // namespace gpu_cpu

void __syncthreads() {
  if (gpu_cpu::current_runner) gpu_cpu::current_runner->barrier();
}
