#include "block_runner.h"

#include "gpu_runtime/device.h"

// The built-in indices of the GPU thread running on this worker thread.
__thread uint3 threadIdx;
__thread uint3 blockIdx;
__thread uint3 blockDim;
__thread uint3 gridDim;

namespace gpu_cpu {

namespace {
// What a fiber tells the worker when it switches back.
void* const kAtBarrier = nullptr;
char finished_marker;
void* const kFinished = &finished_marker;

__thread BlockRunner* current_runner = nullptr;
}  // namespace

BlockRunner& BlockRunner::for_this_thread() {
  static thread_local BlockRunner runner;
  current_runner = &runner;
  return runner;
}

void BlockRunner::set_thread_index(unsigned thread) const {
  const unsigned bx = blockDim.x, by = blockDim.y;
  threadIdx = uint3{thread % bx, (thread / bx) % by, thread / (bx * by)};
}

void BlockRunner::fiber_entry(Transfer t) {
  auto* self = static_cast<BlockRunner*>(t.data);
  fiber_started(self->worker_stack_);
  self->worker_context_ = t.fctx;
  self->launch_->ops->run_thread(self->launch_->args.data());
  leave_fiber(self->worker_context_, self->worker_stack_, kFinished);
}

void BlockRunner::prepare_fibers(unsigned count) {
  while (stacks_.size() < count) stacks_.emplace_back();
  contexts_.resize(count);
}

void BlockRunner::start_fiber(unsigned thread) { contexts_[thread] = make_context(stacks_[thread], &fiber_entry); }

bool BlockRunner::resume(unsigned thread) {
  set_thread_index(thread);
  ++switches_;
  const Transfer t = switch_into_fiber(contexts_[thread], stacks_[thread], this);
  contexts_[thread] = t.fctx;
  return t.data == kFinished;
}

void BlockRunner::run(Launch& launch, std::uint64_t block) {
  launch_ = &launch;
  gridDim = launch.grid;
  blockDim = launch.block;
  const std::uint64_t gx = launch.grid.x, gy = launch.grid.y;
  blockIdx = uint3{static_cast<unsigned>(block % gx), static_cast<unsigned>((block / gx) % gy),
                   static_cast<unsigned>(block / (gx * gy))};
  const unsigned threads = launch.block.x * launch.block.y * launch.block.z;
  const unsigned char* args = launch.args.data();

  if (threads == 1) {
    mode_ = Mode::Single;
    threadIdx = uint3{0, 0, 0};
    launch.ops->run_thread(args);
    mode_ = Mode::Idle;
    return;
  }

  mode_ = Mode::Probe;
  prepare_fibers(1);
  start_fiber(0);
  if (resume(0)) {
    mode_ = Mode::Loop;
    launch.ops->run_threads(args, 1, threads);
    mode_ = Mode::Idle;
    return;
  }

  // Thread 0 waits at the first barrier: bring every other thread to it, then
  // release the block round by round.
  mode_ = Mode::Fibers;
  prepare_fibers(threads);
  finished_.assign(threads, 0);
  for (unsigned t = 1; t < threads; ++t) {
    start_fiber(t);
    finished_[t] = resume(t);
  }
  for (bool live = true; live;) {
    live = false;
    for (unsigned t = 0; t < threads; ++t) {
      if (finished_[t]) continue;
      finished_[t] = resume(t);
      live = live || !finished_[t];
    }
  }
  mode_ = Mode::Idle;
}

void BlockRunner::barrier() {
  switch (mode_) {
    case Mode::Probe:
    case Mode::Fibers: {
      const Transfer t = switch_to_worker(worker_context_, worker_stack_, kAtBarrier);
      worker_context_ = t.fctx;
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
