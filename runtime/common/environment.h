// Runtime settings taken from the environment once, on first use. They belong
// to the runtime, not to the programs: observation and fault injection for
// tests, and the device that the CPU runtime reports.
#pragma once

#include <optional>
#include <string>

namespace gpu_runtime::common {

struct Environment {
  std::optional<std::string> trace_path;  ///< CUDART_TRACE
  /// CUDART_PROFILE: "1" writes the profile to standard error at exit, any
  /// other value but "0" names the file it goes to.
  bool profile = false;
  std::optional<std::string> profile_path;  ///< unset: standard error
  std::optional<std::string> timeline_path;  ///< CUDART_TIMELINE
  std::string fail_list;                  ///< CUDART_FAIL, validated by the fault injector
  int device_count = 1;                   ///< CUDART_DEVICES
  int cc_major = 8;                       ///< CUDART_DEVICE_CC
  int cc_minor = 0;
  int workers = 0;                        ///< CUDART_WORKERS; 0: one per hardware thread
  /// CUDART_BARRIERS: "loops" (the default; "regions" says the same) runs
  /// each block through its kernel's block function, where the compiler
  /// made one; "fibers" runs every kernel a thread at a time, with a fiber
  /// per thread once a barrier comes.
  bool block_functions = true;
};

/// The settings, read and checked on the first call. A malformed value is
/// reported once on standard error and the default kept.
const Environment& environment();

/// Parses a whole non-negative decimal integer that fits an int.
std::optional<int> parse_count(const std::string& text);

}  // namespace gpu_runtime::common
