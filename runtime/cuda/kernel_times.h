// Device times of launches and copies, from events on the stream.
//
// Kernel times (CUDART_KERNEL_TIMES=<file>): every launch is bracketed by two
// device events, and once the host has waited for the device the file gets
// one JSON line per finished launch: {"kernel": name, "grid": [x, y, z],
// "block": [x, y, z], "ms": time on the device}. Kept out of the call trace so
// that traces of the two builds stay comparable line for line.
//
// The profile and the timeline (common/activity.h) get the same launches, and
// every copy timed by its own two events. Device times reach the host's clock
// through an origin event, recorded before the first timed launch or copy
// while the device is idle: a span starts at the origin's host time plus the
// device time from the origin to its start event.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/back_end.h"

namespace gpu_runtime::cuda {

class KernelTimes {
 public:
  /// Opens the file named by CUDART_KERNEL_TIMES, if any; a file that cannot
  /// be opened is reported once on standard error and timing stays off.
  KernelTimes();
  KernelTimes(const KernelTimes&) = delete;
  KernelTimes& operator=(const KernelTimes&) = delete;

  /// Whether launches are timed: for the file, the profile or the timeline.
  bool enabled() const;

  /// Before a launch or copy on `stream`: records its start event (null on failure).
  cudaEvent_t start(cudaStream_t stream);

  /// After the launch call: a launch that happened gets its stop event and
  /// waits to be written; one that did not drops its start event.
  void stop(cudaEvent_t started, bool launched, const std::string& kernel, dim3 grid, dim3 block,
            cudaStream_t stream);

  /// After a blocking copy that began at host time `began` with event
  /// `started` (null when it could not be recorded): a copy that happened is
  /// reported to the profile and the timeline, by its events where they work,
  /// else by the host's time for the call.
  void copied(cudaEvent_t started, std::int64_t began, bool done, common::CopySides sides, std::size_t bytes);

  /// Writes every launch recorded so far, waiting for each to finish.
  void flush();

  /// The device as the profile names it, once a timed launch or copy has asked for it.
  std::string device() const { return device_; }

 private:
  struct Launch {
    std::string kernel;
    dim3 grid, block;
    cudaEvent_t start, stop;
  };

  /// The host time of a recorded event that has completed, or -1.
  std::int64_t host_time(cudaEvent_t event);

  std::FILE* file_ = nullptr;
  std::vector<Launch> pending_;
  cudaEvent_t origin_ = nullptr;
  std::int64_t origin_ns_ = 0;
  std::string device_ = "GPU";
};

}  // namespace gpu_runtime::cuda
