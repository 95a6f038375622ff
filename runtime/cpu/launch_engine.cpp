#include "launch_engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "block_runner.h"
#include "launch_activity.h"
#include "common/back_end.h"
#include "common/environment.h"
#include "device.h"
#include "fault.h"
#include "memcheck.h"
#include "registry.h"

namespace gpu_runtime::common::back_end {

namespace {
// The checks of the launch start_kernel queued last, until the API shell
// asks for its footprint (both under the shell's lock).
std::shared_ptr<cpu::LaunchChecks> just_started;
}  // namespace

// cudaLaunch, once the API shell has taken the configured launch: checks it
// against the kernel and the device, picks how its blocks run (cpu_forms.h)
// and queues it; a worker below runs its blocks.
int start_kernel(const void* entry, const PendingLaunch& config, bool injected) {
  const cpu::RegisteredKernel* kernel = cpu::registry().find(entry);
  const dim3 grid(config.grid.x, config.grid.y, config.grid.z);
  const dim3 block(config.block.x, config.block.y, config.block.z);
  if (!kernel || !kernel->ops) return cudaErrorInvalidDeviceFunction;
  if (!cpu::launch_fits(grid, block, config.shared)) return cudaErrorInvalidConfiguration;
  if (config.stream || config.bytes.size() < kernel->ops->args_size) return cudaErrorInvalidValue;
  if (injected) return cudaErrorLaunchFailure;

  // Static and dynamic shared memory share the block's 48 KiB.
  const KernelForm& form = *kernel->ops->form;
  if (form.static_shared + config.shared > cpu::DeviceLimits::kSharedMemoryPerBlock) return cudaErrorInvalidConfiguration;

  auto work = std::make_unique<cpu::Launch>();
  work->ops = kernel->ops;
  work->name = kernel->name.c_str();
  // The block function where the compiler made one, unless CUDART_BARRIERS=fibers.
  work->block_function = kernel->ops->run_block && environment().block_functions;
  work->grid = grid;
  work->block = block;
  work->dynamic_shared = config.shared;
  work->blocks = std::uint64_t{grid.x} * grid.y * grid.z;
  std::memcpy(work->args.data(), config.bytes.data(), config.bytes.size());
  work->observed = cpu::observe(*work, kernel->name.c_str());
  work->checks = cpu::checks_for_launch(work->blocks);
  just_started = work->checks;
  cpu::launch_engine().submit(std::move(work));
  return cudaSuccess;
}

int synchronize() { return cpu::launch_engine().synchronize(); }

void wait_idle() { cpu::launch_engine().wait_idle(); }

std::optional<std::vector<CtaAccesses>> measured_accesses() {
  const std::shared_ptr<cpu::LaunchChecks> checks = std::exchange(just_started, nullptr);
  if (!checks || !checks->footprint) return std::nullopt;
  // Once the launch has ended no worker writes its footprint any more.
  cpu::launch_engine().wait_idle();
  return std::move(checks->ctas);
}

}  // namespace gpu_runtime::common::back_end

namespace gpu_runtime::cpu {

LaunchEngine& launch_engine() {
  static LaunchEngine* engine = new LaunchEngine(common::environment().workers);
  return *engine;
}

namespace {

// How long a waiting thread (a worker between launches, the host waiting for
// a kernel) polls before it sleeps. Waking a sleeping thread takes 20 to
// 40 us on a virtual machine: without the polling a launch and its
// synchronisation took 44 us, with it 7 us. Long enough to cover the host's
// work between two launches of a typical loop, short enough that idle
// workers give their cores back soon.
constexpr auto kSpinFor = std::chrono::microseconds(50);

// Polls `ready` for up to kSpinFor, yielding the core between polls to any
// thread that wants it (on a machine with as many workers as cores, a
// waiting host must not slow the workers down). True once it holds.
template <class Ready>
bool spin_until(Ready ready) {
  const auto deadline = std::chrono::steady_clock::now() + kSpinFor;
  for (;;) {
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
}

}  // namespace

LaunchEngine::LaunchEngine(int workers) : worker_count_(std::max(1, workers)) {}

void LaunchEngine::start_workers() {
  // Workers live as long as the process; they are detached so that exit()
  // never waits for or destroys a running one. The system may refuse some
  // (no memory for their stacks, too many threads): those that start do the
  // work.
  for (int i = 0; i < worker_count_; ++i) {
    try {
      std::thread([this] { worker_loop(); }).detach();
      ++started_workers_;
    } catch (const std::system_error&) {
      break;
    }
  }
}

void LaunchEngine::submit(std::unique_ptr<Launch> launch) {
  std::shared_ptr<Launch> run_here;
  {
    std::lock_guard lock(mu_);
    if (!started_) {
      started_ = true;
      start_workers();
    }
    launch->serial = submitted_++;
    queue_.push_back(std::move(launch));
    if (started_workers_ == 0) run_here = queue_.back();
    submitted_seen_.store(submitted_, std::memory_order_release);
    changed_.notify_all();
  }
  // Not a single worker could be started: the calling thread runs the launch
  // itself, to the end, rather than leave it queued for no one.
  if (run_here) run_blocks(*run_here);
}

int LaunchEngine::synchronize() {
  spin_until([this] { return all_retired(); });
  std::unique_lock lock(mu_);
  changed_.wait(lock, [this] { return queue_.empty(); });
  return std::exchange(pending_error_, 0);
}

void LaunchEngine::wait_idle() {
  spin_until([this] { return all_retired(); });
  std::unique_lock lock(mu_);
  changed_.wait(lock, [this] { return queue_.empty(); });
}

void LaunchEngine::run_blocks(Launch& launch) {
  BlockRunner& runner = BlockRunner::for_this_thread();
  // After an illegal address the context is lost, as on a GPU: what was
  // queued behind it does not run.
  if (lost_.load(std::memory_order_acquire)) {
    launch.raise(cudaErrorIllegalAddress);
    launch.stopped.store(true, std::memory_order_relaxed);
  }
  // Chunks small enough to balance the workers, large enough to keep the
  // shared counter off the hot path.
  const std::uint64_t chunk = std::max<std::uint64_t>(1, launch.blocks / (std::uint64_t(worker_count_) * 16));
  const std::int64_t began = launch.observed ? common::activity::now() : 0;
  // Kept in memory across a jump back to the exit below.
  volatile std::uint64_t ran = 0, first = 0, last = 0;
  KernelExit exit;
  exit.stack_bottom = runner.worker_stack_bottom();
  exit.stack_size = runner.worker_stack_size();
  if (const int reason = sigsetjmp(exit.resume, 0); reason != kStillRunning) {
    // Kernel code faulted, or failed a check, in the block running: the
    // launch stops, its later blocks left out.
    after_landing(reason);
    const uint3 block = runner.block_running();
    runner.abandon_block();
    launch.stopped.store(true, std::memory_order_relaxed);
    if (launch.raise(cudaErrorIllegalAddress) && reason == kFaulted) report_fault(launch.name, block, exit);
    ran = ran + (last - first);
  }
  if (launch.checks) begin_checked_launch(launch);
  arm_kernel_exit(&exit);
  for (;;) {
    const std::uint64_t next = launch.next_block.fetch_add(chunk, std::memory_order_relaxed);
    if (next >= launch.blocks) break;
    first = next;
    last = std::min(launch.blocks, next + chunk);
    if (!launch.stopped.load(std::memory_order_relaxed)) runner.run_span(launch, first, last);
    ran = ran + (last - first);
  }
  disarm_kernel_exit();
  if (launch.checks) end_checked_launch();
  if (ran == 0) return;
  if (launch.observed) blocks_ran(launch, began, ran);
  if (launch.blocks_done.fetch_add(ran, std::memory_order_acq_rel) + ran == launch.blocks) {
    // The last block of this launch: retire it and let the next one start.
    std::lock_guard lock(mu_);
    if (launch.error == cudaErrorIllegalAddress) lost_.store(true, std::memory_order_release);
    if (launch.error && !pending_error_) pending_error_ = launch.error;
    queue_.pop_front();
    ++retired_;
    retired_seen_.store(retired_, std::memory_order_release);
    changed_.notify_all();
  }
}

void LaunchEngine::worker_loop() {
  prepare_worker_for_faults();
  for (;;) {
    std::shared_ptr<Launch> launch;
    std::uint64_t serial = 0;
    spin_until([this] { return !all_retired(); });
    {
      std::unique_lock lock(mu_);
      changed_.wait(lock, [this] { return !queue_.empty(); });
      launch = queue_.front();
      serial = launch->serial;
    }
    run_blocks(*launch);
    // Wait until this launch is retired before looking for the next one: the
    // stream runs launches strictly in order.
    launch.reset();
    spin_until([&] { return retired_seen_.load(std::memory_order_acquire) > serial; });
    std::unique_lock lock(mu_);
    changed_.wait(lock, [&] { return retired_ > serial; });
  }
}

}  // namespace gpu_runtime::cpu
