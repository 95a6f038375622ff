// Runtime settings taken from the environment once, on first use. They belong
// to the runtime, not to the programs: observation and fault injection for
// tests, and the device that the CPU runtime reports.
#pragma once

#include <optional>
#include <string>

namespace gpu_runtime::common {

/// The bounds of each setting: a value outside them is refused like a
/// malformed one (README, "Runtime environment", lists them).
inline constexpr int kMaxDevices = 64;        ///< CUDART_DEVICES: 0 .. 64
inline constexpr int kMaxCcMajor = 99;        ///< CUDART_DEVICE_CC: 0.0 .. 99.9
inline constexpr int kMaxCcMinor = 9;
inline constexpr int kMaxWorkers = 1024;      ///< CUDART_WORKERS: 1 .. 1024
inline constexpr int kMaxFailCall = 999999999;  ///< CUDART_FAIL: the n of call:n, 1 .. 999999999

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
  int workers = 0;                        ///< CUDART_WORKERS; 0: one per hardware thread, at most kMaxWorkers
  /// CUDART_BARRIERS: "loops" (the default; "regions" says the same) runs
  /// each block through its kernel's block function, where the compiler
  /// made one; "fibers" runs every kernel a thread at a time, with a fiber
  /// per thread once a barrier comes.
  bool block_functions = true;
  /// CUDART_MEMCHECK=1: programs built for checking (gpucc --memcheck) check
  /// every access of kernel code; CUDART_FOOTPRINT=1: they measure which
  /// elements each CTA touches. Both off by default ("0").
  bool memcheck = false;
  bool footprint = false;
};

/// The settings, read and checked on the first call. A malformed value, or
/// one outside its bounds, is reported once on standard error and the
/// default kept.
const Environment& environment();

/// The settings that the variables' values give; `lookup` returns a
/// variable's value, or null when it is not set. Each value that is refused
/// adds one line to `complaints` (and keeps its default).
Environment parse_environment(const char* (*lookup)(const char* name), std::string& complaints);

/// Parses a whole non-negative decimal integer of at most nine digits.
std::optional<int> parse_count(const std::string& text);

}  // namespace gpu_runtime::common
