#include "block_runner.h"

#include <pthread.h>

#include <algorithm>
#include <new>

#include "gpu_runtime/device.h"

namespace gpu_runtime::cpu {

namespace {
__thread BlockRunner* current_runner = nullptr;
}  // namespace

BlockRunner& BlockRunner::for_this_thread() {
  static thread_local BlockRunner runner;
  current_runner = &runner;
  return runner;
}

BlockRunner::BlockRunner() {
  // Thread 0 runs on this stack and is switched to like any fiber, so its
  // bounds are needed to announce those switches to AddressSanitizer.
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

SwitchTarget BlockRunner::target(unsigned thread) const {
  if (thread >= threads_) return {worker_context_, worker_stack_bottom_, worker_stack_size_};
  if (thread == 0) return {contexts_[0], worker_stack_bottom_, worker_stack_size_};
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
  arrived_in_new_fiber();
  *static_cast<Context*>(t.data) = t.fctx;
  // A fiber lives as long as its worker: after each thread it has run, it
  // waits to run the thread of the same index in a later block.
  for (;;) {
    gpu_runtime::ThreadPlace place = self.place_;
    place.thread = self.indices_[self.current_];
    self.launch_->ops->run_thread(self.launch_->args.data(), place);
    self.finish_current();
  }
}

void BlockRunner::switch_to(unsigned thread) {
  const unsigned from = current_;
  current_ = thread;
  if (thread < threads_) {
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

void BlockRunner::enter(Launch& launch, std::uint64_t block) {
  launch_ = &launch;
  const std::uint64_t gx = launch.grid.x, gy = launch.grid.y;
  place_.block = uint3{static_cast<unsigned>(block % gx), static_cast<unsigned>((block / gx) % gy),
                       static_cast<unsigned>(block / (gx * gy))};
  place_.block_dim = launch.block;
  place_.grid_dim = launch.grid;
}

void BlockRunner::run(Launch& launch, std::uint64_t block) {
  enter(launch, block);
  set_block_shape(launch.block);
  const unsigned char* args = launch.args.data();

  if (launch.run_regions) {
    mode_ = Mode::Regions;
    // The form returns true from its end only; anything else means some
    // thread did not pass through every region.
    if (!launch.run_regions(args, place_)) launch.raise(cudaErrorLaunchFailure);
    mode_ = Mode::Idle;
    return;
  }

  current_ = 0;
  place_.thread = indices_[0];
  mode_ = threads_ == 1 ? Mode::Single : Mode::Direct;
  launch.ops->run_thread(args, place_);

  if (mode_ == Mode::Direct) {
    mode_ = Mode::Loop;
    launch.ops->run_threads(args, place_, 1, threads_);
  } else if (mode_ == Mode::Fibers) {
    // Thread 0 has finished after meeting barriers: let the others finish.
    current_ = threads_;
    finished_[0] = 1;
    const unsigned next = next_unfinished(0);
    if (next < threads_) switch_to(next);
  }
  mode_ = Mode::Idle;
}

void BlockRunner::run_span(Launch& launch, std::uint64_t first, std::uint64_t last) {
  const std::uint64_t gx = launch.grid.x;
  std::uint64_t b = first;
  while (b < last) {
    // The blocks from b to the end of its row of the grid, or of the span.
    const std::uint64_t x = b % gx;
    const std::uint64_t run_end = std::min(last, b - x + gx);
    bool ran = false;
    if (launch.run_rows) {
      enter(launch, b);
      mode_ = Mode::Rows;
      ran = launch.run_rows(launch.args.data(), place_, static_cast<unsigned>(x), static_cast<unsigned>(run_end - b));
      mode_ = Mode::Idle;
    }
    if (!ran)
      for (std::uint64_t k = b; k < run_end; ++k) run(launch, k);
    b = run_end;
  }
}

void BlockRunner::barrier() {
  switch (mode_) {
    case Mode::Direct:
      // Thread 0 met the block's first barrier: every other thread needs a fiber.
      try {
        start_other_threads();
      } catch (const std::bad_alloc&) {
        // No stacks to be had: the launch fails, as a GPU's does when a block
        // needs more than it has; thread 0 ends alone, its barriers passing.
        launch_->raise(cudaErrorLaunchFailure);
        mode_ = Mode::Single;
        return;
      }
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
    case Mode::Regions:
    case Mode::Rows:
      // A barrier the splitter did not see (in a function the kernel calls):
      // the region or row loops cannot honour it.
      launch_->raise(cudaErrorLaunchFailure);
      return;
    case Mode::Single:
    case Mode::Idle:
      return;
  }
}

}  // namespace gpu_runtime::cpu

void gpu_runtime::block_barrier() {
  if (gpu_runtime::cpu::current_runner) gpu_runtime::cpu::current_runner->barrier();
}
