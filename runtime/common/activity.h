// What the device did, for the profile (CUDART_PROFILE) and the timeline
// (CUDART_TIMELINE). The API shell times every host call, the back ends
// report each launch and copy once it has finished, and at exit the profile
// is written and the timeline closed. With neither asked for, every hook costs
// one test of a flag and nothing is recorded.
//
// Times are nanoseconds on the monotonic clock, counted from the runtime's
// start (the first registration, before main). Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/back_end.h"

namespace gpu_runtime::common::activity {

/// Whether the profile or the timeline is on (read from the environment once).
bool enabled();
/// Whether the timeline is on: callers build its details only then.
bool timeline_enabled();

/// Nanoseconds since the runtime started, on the monotonic clock.
std::int64_t now();

/// Times one host call (an API or timer call) from construction to
/// destruction: declared before the call takes any lock, it covers the wait.
class CallScope {
 public:
  explicit CallScope(const char* call) : call_(call), start_(enabled() ? now() : -1) {}
  ~CallScope() {
    if (start_ >= 0) finish();
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  /// Members added to the call's timeline event ("args"): JSON object members
  /// without the braces, such as `"bytes": 16`. Build them only when
  /// timeline_enabled().
  void detail(std::string members) { detail_ = std::move(members); }

 private:
  void finish();

  const char* call_;
  std::int64_t start_;
  std::string detail_;
};

/// The part of a launch that one worker ran: from its first block's start to
/// its last block's end.
struct WorkerSpan {
  int worker = 0;  ///< from 0, in the order workers first ran a block
  std::int64_t start = 0, end = 0;
  std::uint64_t blocks = 0;
};

/// A launch that has finished.
struct LaunchRun {
  std::string kernel;  ///< the mangled name
  Dim3 grid, block;
  const char* form = nullptr;  ///< how the CPU device ran it; null on a GPU
  bool timed = true;           ///< false when the device could not say when it ran
  std::int64_t start = 0;      ///< the first block's start on the first worker
  std::int64_t end = 0;        ///< the last block's end
  std::vector<WorkerSpan> workers;  ///< empty on a GPU
};

/// Records a finished launch. Launches must be reported in stream order.
void launch_finished(const LaunchRun& run);

/// Records a copy that moved `bytes` bytes between `start` and `end`.
void copy_finished(CopySides sides, std::uint64_t bytes, std::int64_t start, std::int64_t end);

/// Device memory handed out (positive) or given back (negative).
void memory_changed(std::int64_t bytes);

/// At exit, once launched work has finished: writes the profile (standard
/// error or its file) and closes the timeline. `device` names the device for
/// both ("CPU device, 8 workers"). Nothing is recorded afterwards.
void finish(const std::string& device);

/// "host to device", "device to host", "device to device" or "host to host".
const char* direction_name(CopySides sides);

/// The kernel's demangled name (the mangled one if it does not demangle).
std::string readable_name(const std::string& mangled);

}  // namespace gpu_runtime::common::activity
