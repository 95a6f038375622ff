// A small JSON reader for the runtime's trace (one object per line).
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "program_runner.h"

namespace test_helpers {

class Json {
 public:
  enum class Kind { Null, Bool, Number, String, Array, Object };

  Json() = default;
  static Json parse(const std::string& text);  ///< throws std::runtime_error on malformed text

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::Null; }
  bool is_string() const { return kind_ == Kind::String; }
  bool is_object() const { return kind_ == Kind::Object; }
  bool is_array() const { return kind_ == Kind::Array; }

  double number() const;
  long long integer() const;  ///< the number, which must be whole
  bool boolean() const;
  const std::string& str() const;
  const std::vector<Json>& array() const;
  const std::map<std::string, Json>& object() const;

  bool has(const std::string& key) const;
  const Json& operator[](const std::string& key) const;  ///< throws when absent
  const Json& operator[](size_t index) const;
  size_t size() const;

  /// [a, b, c] of whole numbers, for geometry and argument lists.
  std::vector<long long> integers() const;

 private:
  friend class JsonParser;
  Kind kind_ = Kind::Null;
  bool bool_ = false;
  double number_ = 0;
  std::string text_;  // string value, or the number's source text
  std::vector<Json> items_;
  std::map<std::string, Json> members_;
};

/// Every line of a trace file, parsed.
std::vector<Json> read_trace(const std::string& path);

/// The trace entries whose "call" is `call`.
std::vector<Json> calls_named(const std::vector<Json>& trace, const std::string& call);

/// The "call" of every trace entry that has one, in order.
std::vector<std::string> call_names(const std::vector<Json>& trace);

/// A run with the runtime's trace on, and the trace it wrote.
struct TracedRun {
  ProgramResult result;
  std::vector<Json> trace;
};

/// Runs `program` with `args` in a fresh directory with CUDART_TRACE set (on
/// top of `env`) and reads the trace back.
TracedRun run_traced(const std::filesystem::path& program, const std::vector<std::string>& args,
                     std::map<std::string, std::string> env = {});

}  // namespace test_helpers
