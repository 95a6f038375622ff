// The default stream: launches queue in order and run one after another on a
// pool of worker threads, each worker taking blocks in chunks and handing
// them to its block runner (block_runner.h). The host returns from a launch
// at once and waits only in synchronize(). launch_engine.cpp also holds the
// back end's launch calls (common/back_end.h): cudaLaunch arrives there.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "launch_record.h"

namespace gpu_runtime::cpu {

class LaunchEngine {
 public:
  explicit LaunchEngine(int workers);
  LaunchEngine(const LaunchEngine&) = delete;
  LaunchEngine& operator=(const LaunchEngine&) = delete;

  /// Queues a launch behind the ones already queued.
  void submit(std::unique_ptr<Launch> launch);

  /// Waits until every queued launch has finished; returns and clears the
  /// first error raised while they ran (0 if none).
  int synchronize();

  /// Waits until every queued launch has finished, leaving any error pending.
  void wait_idle();

  int workers() const { return worker_count_; }

 private:
  void start_workers();
  void worker_loop();
  void run_blocks(Launch& launch);
  bool all_retired() const {
    return retired_seen_.load(std::memory_order_acquire) == submitted_seen_.load(std::memory_order_acquire);
  }

  const int worker_count_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Launch>> queue_;  // workers hold a launch until they leave it
  int pending_error_ = 0;
  bool started_ = false;
  int started_workers_ = 0;  ///< threads actually running worker_loop
  std::uint64_t submitted_ = 0;  ///< launches queued so far; a launch's serial is its place
  std::uint64_t retired_ = 0;    ///< launches finished so far
  // Copies of the two counts, written under mu_, for waiting threads to spin
  // on before they sleep: waking a sleeping thread costs tens of
  // microseconds, more than many a kernel takes.
  std::atomic<std::uint64_t> submitted_seen_{0};
  std::atomic<std::uint64_t> retired_seen_{0};
  /// A launch met an illegal address: the context is lost and later
  /// launches fail without running.
  std::atomic<bool> lost_{false};
};

/// The device's stream, made on first use with CUDART_WORKERS workers and
/// never destroyed.
LaunchEngine& launch_engine();

}  // namespace gpu_runtime::cpu
