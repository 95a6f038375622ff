// The call trace (CUDART_TRACE=<file>): one JSON object per line for every
// runtime and timer call, each line written whole with one write before the
// call returns, so a program that exits loses nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace gpu_runtime::common {

/// Whether a trace file is open. Callers skip building records when not.
bool trace_enabled();

/// One trace line under construction: {"call": "<name>", ...}.
class TraceRecord {
 public:
  /// Starts a record whose first member is `key`: `value` (normally "call").
  explicit TraceRecord(std::string_view call, std::string_view key = "call");

  TraceRecord& number(std::string_view key, long long value);
  TraceRecord& unsigned_number(std::string_view key, unsigned long long value);
  TraceRecord& real(std::string_view key, double value);
  TraceRecord& boolean(std::string_view key, bool value);
  TraceRecord& string(std::string_view key, std::string_view value);
  /// `json` must already be a JSON value.
  TraceRecord& raw(std::string_view key, std::string_view json);
  TraceRecord& triple(std::string_view key, unsigned x, unsigned y, unsigned z);

  /// Closes the object and appends it as one line.
  void write();

 private:
  std::string text_;
};

/// FNV-1a 64 of `bytes`, as 16 lower-case hex digits.
std::string fnv1a_hex(const void* bytes, size_t size);

/// `count` integers as a JSON array.
std::string json_int_array(const int* values, size_t count);

/// `text` as a quoted JSON string.
std::string json_string(std::string_view text);

}  // namespace gpu_runtime::common
