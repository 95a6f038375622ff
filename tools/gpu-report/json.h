// A small JSON reader for the runtime's trace (one object per line) and
// timeline (an array of trace events).
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace gpu_report {

/// Malformed JSON: what was wrong, and the offset into the text.
class JsonError : public std::runtime_error {
 public:
  JsonError(const std::string& what, std::size_t offset) : std::runtime_error(what), offset_(offset) {}
  std::size_t offset() const { return offset_; }

 private:
  std::size_t offset_;
};

class Json {
 public:
  enum class Kind { Null, Bool, Number, String, Array, Object };

  /// The one value `text` holds (white space around it allowed).
  static Json parse(std::string_view text);

  /// The elements of the array `text` holds. An array cut short after a
  /// complete element (with or without its comma) is read up to there and
  /// `complete` set false, as the trace viewers read one.
  static std::vector<Json> parse_array(std::string_view text, bool& complete);

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::Null; }
  bool is_number() const { return kind_ == Kind::Number; }
  bool is_string() const { return kind_ == Kind::String; }
  bool is_array() const { return kind_ == Kind::Array; }
  bool is_object() const { return kind_ == Kind::Object; }

  /// The value, or `fallback` when it is of another kind.
  double number(double fallback = 0) const { return kind_ == Kind::Number ? number_ : fallback; }
  /// The number when it is whole (and fits), else `fallback`.
  long long integer(long long fallback = 0) const;
  bool boolean(bool fallback = false) const { return kind_ == Kind::Bool ? bool_ : fallback; }
  /// The string, or "" when it is of another kind.
  const std::string& str() const;
  const std::vector<Json>& items() const { return items_; }

  /// The member `key` of an object; a null value when absent or not an object.
  const Json& operator[](std::string_view key) const;
  bool has(std::string_view key) const;

 private:
  friend class Parser;
  Kind kind_ = Kind::Null;
  bool bool_ = false;
  double number_ = 0;
  std::string text_;
  std::vector<Json> items_;
  std::map<std::string, Json, std::less<>> members_;
};

}  // namespace gpu_report
