// The timeline (CUDART_TIMELINE=<file>): the run in the Chrome trace-event
// format that Perfetto (ui.perfetto.dev) and the browser's trace viewer
// (chrome://tracing) load. The file is a JSON array of events, one per line:
//
//   process 1 "host", one track per host thread: every API and timer call,
//     as a complete event ("ph": "X") named after the call;
//   process 2 "device", track 0 "stream": each launch (named after its
//     kernel; args: launch, kernel, grid, block, blocks, form) and each copy
//     (args: bytes, direction); track 1 + w "worker w": per launch, one span
//     from the first block worker w ran to the end of its last (args:
//     launch, blocks).
//
// Times ("ts", "dur") are microseconds with nanosecond decimals since the
// runtime started. Events go out as they finish, through a buffered file; the
// array is closed at exit, and a file cut short by a crash still loads in
// both viewers. Not thread-safe: activity.cpp serialises its use.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/activity.h"

namespace gpu_runtime::common {

class Timeline {
 public:
  /// Opens `path` and starts the array; a file that cannot be opened is
  /// reported once on standard error and the timeline stays closed.
  explicit Timeline(const std::string& path);
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  bool open() const { return file_ != nullptr; }

  /// A host call on host thread `thread` (from 1); `detail`: extra members of
  /// its args (see activity::CallScope::detail).
  void call(int thread, const char* name, std::int64_t start, std::int64_t end, const std::string& detail);
  /// Launch number `serial` (from 0, in stream order) and its workers' spans.
  void launch(std::uint64_t serial, const activity::LaunchRun& run);
  void copy(CopySides sides, std::uint64_t bytes, std::int64_t start, std::int64_t end);

  /// Labels the device process with `device`, ends the array and closes the file.
  void close(const std::string& device);

 private:
  void event(const std::string& json);
  void name_track(int process, int track, const std::string& name);

  // A kernel's names as JSON strings, demangled once.
  struct KernelNames {
    std::string name, mangled;
  };
  const KernelNames& names(const std::string& kernel);

  std::FILE* file_ = nullptr;
  bool first_ = true;
  std::vector<bool> hosts_named_, workers_named_;
  std::map<std::string, KernelNames> kernel_names_;
  std::string line_;  ///< the event being written, kept to reuse its buffer
};

/// A kernel's name as a track shows it: its readable name without the
/// parameter list ("halvik_cuda_1").
std::string short_kernel_name(const std::string& mangled);

}  // namespace gpu_runtime::common
