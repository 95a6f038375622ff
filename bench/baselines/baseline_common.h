// What the baselines and the device runner share: the clock, the FNV-1a 64
// digest (the same one the runtime's trace gives every copy, so results can
// be compared bit for bit), median, and the report lines bench_compare reads.
//
// Every baseline prints its findings as "key value" lines on standard output
// ("time_ms 12.345", "digest 0123456789abcdef") and reports a bad command
// line or input on standard error with exit status 1.
#pragma once

#include "common/trace.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double ms_between(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

/// FNV-1a 64 of `bytes` bytes at `data`, as 16 lower-case hex digits: the
/// runtime trace's own digest, so the two can be compared.
inline std::string fnv1a64(const void* data, size_t bytes) { return gpu_runtime::common::fnv1a_hex(data, bytes); }

template <typename T>
std::string digest_of(const std::vector<T>& values) {
  return fnv1a64(values.data(), values.size() * sizeof(T));
}

/// Median of `values` (the mean of the middle two for an even count); 0 when empty.
inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

/// Ends the process with a one-line message naming the program.
[[noreturn]] inline void fail(std::string_view program, std::string_view message) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(program.size()), program.data(),
               static_cast<int>(message.size()), message.data());
  std::exit(1);
}

/// A whole decimal argument in [lo, hi], or a clear error naming `what`.
inline long parse_int(std::string_view program, const char* text, const char* what, long lo, long hi) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < lo || value > hi)
    fail(program, std::string(what) + " must be a whole number from " + std::to_string(lo) + " to " +
                      std::to_string(hi) + ", not '" + text + "'");
  return value;
}

inline void report(const char* key, double value) { std::printf("%s %.6f\n", key, value); }
inline void report(const char* key, long long value) { std::printf("%s %lld\n", key, value); }
inline void report(const char* key, const std::string& value) { std::printf("%s %s\n", key, value.c_str()); }

/// Keeps the compiler from assuming anything about the memory behind `p`, so a
/// repeated loop is run again rather than folded away.
inline void clobber(const void* p) { asm volatile("" : : "g"(p) : "memory"); }

}  // namespace bench
