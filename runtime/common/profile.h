// The profile written at exit (CUDART_PROFILE): per kernel, per copy
// direction and per host call, what ran, how often and for how long, and the
// device memory's peak. Not thread-safe: activity.cpp serialises its use.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "common/activity.h"

namespace gpu_runtime::common {

class Profile {
 public:
  /// `call` names the call for the life of the program (a string literal):
  /// calls are told apart by the pointer, and merged by name for the text.
  void add_call(const char* call, std::int64_t ns);
  void add_launch(const activity::LaunchRun& run);
  void add_copy(CopySides sides, std::uint64_t bytes, std::int64_t ns);
  void add_memory(std::int64_t bytes);

  /// The summary as text, one table per section:
  ///
  ///   ==gpu runtime profile== <device>; <run> from start to exit
  ///   Device busy <t>: kernels <t>, copies <t>
  ///
  ///   Kernels
  ///    Time(%)  Total  Launches  Avg  Min  Max  Grid  Block  Form  Kernel
  ///   Copies
  ///    Time(%)  Total  Count  Bytes  Bandwidth  Direction
  ///   Device memory
  ///   API calls
  ///    Time(%)  Total  Calls  Avg  Call
  ///
  /// Kernels and calls by total time, longest first; a kernel's Time(%) is
  /// its share of the device's busy time (kernels and copies), grid and block
  /// those of its most frequent configuration, its form the one most of its
  /// launches ran in ("-" on a GPU).
  std::string text(const std::string& device, std::int64_t run_ns) const;

 private:
  struct Timing {
    std::uint64_t count = 0;
    std::uint64_t timed = 0;  ///< how many of them have a time
    std::int64_t total = 0, min = 0, max = 0;
    void add(std::int64_t ns, bool known);
  };
  using Config = std::tuple<unsigned, unsigned, unsigned, unsigned, unsigned, unsigned>;
  struct Kernel {
    Timing timing;
    std::map<Config, std::uint64_t> configs;
    std::map<std::string, std::uint64_t> forms;
  };
  struct Copies {
    Timing timing;
    std::uint64_t bytes = 0;
  };

  std::map<std::string, Kernel> kernels_;
  std::map<int, Copies> copies_;  ///< by direction: 1 host to device, 2 device to host, 3 device to device, 0 host to host
  std::vector<std::pair<const char*, Timing>> calls_;  ///< a handful: searched in order
  std::int64_t memory_ = 0, peak_memory_ = 0;
};

/// `ns` as the profile shows a time: "812ns", "1.250us", "48.123ms", "2.500s".
std::string format_duration(std::int64_t ns);

/// `bytes` moved in `ns`: "5.447GB/s", "256.000MB/s", "12.500KB/s"; "-" for no time.
std::string format_bandwidth(std::uint64_t bytes, std::int64_t ns);

}  // namespace gpu_runtime::common
