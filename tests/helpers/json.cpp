#include "json.h"

#include <cstdlib>
#include <stdexcept>

namespace test_helpers {

class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : s_(text) {}

  Json parse_document() {
    Json value = parse_value();
    skip_space();
    if (pos_ != s_.size()) fail("trailing characters");
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("JSON: " + what + " at " + std::to_string(pos_) + " in: " + s_);
  }
  void skip_space() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) ++pos_;
  }
  char peek() {
    skip_space();
    if (pos_ >= s_.size()) fail("unexpected end");
    return s_[pos_];
  }
  void expect(char c) {
    if (peek() != c) fail(std::string("expected '") + c + "'");
    ++pos_;
  }
  bool take_word(const char* word) {
    const std::string w(word);
    if (s_.compare(pos_, w.size(), w) != 0) return false;
    pos_ += w.size();
    return true;
  }

  Json parse_value() {
    Json v;
    const char c = peek();
    if (c == '{') {
      v.kind_ = Json::Kind::Object;
      ++pos_;
      if (peek() == '}') { ++pos_; return v; }
      for (;;) {
        std::string key = parse_string();
        expect(':');
        v.members_[key] = parse_value();
        if (peek() == ',') { ++pos_; continue; }
        expect('}');
        return v;
      }
    }
    if (c == '[') {
      v.kind_ = Json::Kind::Array;
      ++pos_;
      if (peek() == ']') { ++pos_; return v; }
      for (;;) {
        v.items_.push_back(parse_value());
        if (peek() == ',') { ++pos_; continue; }
        expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.kind_ = Json::Kind::String;
      v.text_ = parse_string();
      return v;
    }
    if (take_word("true")) { v.kind_ = Json::Kind::Bool; v.bool_ = true; return v; }
    if (take_word("false")) { v.kind_ = Json::Kind::Bool; return v; }
    if (take_word("null")) return v;
    const size_t start = pos_;
    while (pos_ < s_.size() && std::string("+-0123456789.eE").find(s_[pos_]) != std::string::npos) ++pos_;
    if (start == pos_) fail("unexpected character");
    v.kind_ = Json::Kind::Number;
    v.text_ = s_.substr(start, pos_ - start);
    v.number_ = std::strtod(v.text_.c_str(), nullptr);
    return v;
  }

  std::string parse_string() {
    expect('"');
    std::string out;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      char c = s_[pos_++];
      if (c == '\\') {
        if (pos_ >= s_.size()) fail("bad escape");
        char e = s_[pos_++];
        switch (e) {
          case 'n': out += '\n'; break;
          case 't': out += '\t'; break;
          case 'r': out += '\r'; break;
          case 'b': out += '\b'; break;
          case 'f': out += '\f'; break;
          case 'u': {
            const unsigned code = std::stoul(s_.substr(pos_, 4), nullptr, 16);
            pos_ += 4;
            if (code < 0x80) out += static_cast<char>(code);
            else if (code < 0x800) { out += static_cast<char>(0xC0 | (code >> 6)); out += static_cast<char>(0x80 | (code & 0x3F)); }
            else { out += static_cast<char>(0xE0 | (code >> 12)); out += static_cast<char>(0x80 | ((code >> 6) & 0x3F)); out += static_cast<char>(0x80 | (code & 0x3F)); }
            break;
          }
          default: out += e;
        }
      } else {
        out += c;
      }
    }
    expect('"');
    return out;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

Json Json::parse(const std::string& text) { return JsonParser(text).parse_document(); }

double Json::number() const {
  if (kind_ != Kind::Number) throw std::runtime_error("JSON value is not a number");
  return number_;
}
long long Json::integer() const {
  if (kind_ != Kind::Number || text_.find_first_of(".eE") != std::string::npos)
    throw std::runtime_error("JSON value is not a whole number: " + text_);
  return std::stoll(text_);
}
bool Json::boolean() const {
  if (kind_ != Kind::Bool) throw std::runtime_error("JSON value is not a boolean");
  return bool_;
}
const std::string& Json::str() const {
  if (kind_ != Kind::String) throw std::runtime_error("JSON value is not a string");
  return text_;
}
const std::vector<Json>& Json::array() const {
  if (kind_ != Kind::Array) throw std::runtime_error("JSON value is not an array");
  return items_;
}
const std::map<std::string, Json>& Json::object() const {
  if (kind_ != Kind::Object) throw std::runtime_error("JSON value is not an object");
  return members_;
}
bool Json::has(const std::string& key) const { return kind_ == Kind::Object && members_.count(key) > 0; }
const Json& Json::operator[](const std::string& key) const {
  auto it = object().find(key);
  if (it == members_.end()) throw std::runtime_error("JSON object has no key " + key);
  return it->second;
}
const Json& Json::operator[](size_t index) const { return array().at(index); }
size_t Json::size() const { return kind_ == Kind::Object ? members_.size() : array().size(); }
std::vector<long long> Json::integers() const {
  std::vector<long long> out;
  for (const Json& item : array()) out.push_back(item.integer());
  return out;
}

std::vector<Json> read_trace(const std::string& path) {
  std::vector<Json> entries;
  for (const std::string& line : split_lines(read_file(path)))
    if (!line.empty()) entries.push_back(Json::parse(line));
  return entries;
}

std::vector<Json> calls_named(const std::vector<Json>& trace, const std::string& call) {
  std::vector<Json> out;
  for (const Json& entry : trace)
    if (entry.has("call") && entry["call"].str() == call) out.push_back(entry);
  return out;
}

std::vector<std::string> call_names(const std::vector<Json>& trace) {
  std::vector<std::string> names;
  for (const Json& entry : trace)
    if (entry.has("call")) names.push_back(entry["call"].str());
  return names;
}

TracedRun run_traced(const std::filesystem::path& program, const std::vector<std::string>& args,
                     std::map<std::string, std::string> env) {
  TempDir dir;
  env["CUDART_TRACE"] = (dir / "trace.jsonl").string();
  TracedRun run;
  run.result = run_program(program, args, dir.path(), env);
  run.trace = read_trace(env["CUDART_TRACE"]);
  return run;
}

}  // namespace test_helpers
