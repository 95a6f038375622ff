#include "json.h"

#include <cmath>
#include <cstdlib>

namespace gpu_report {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Json value(int depth = 0) {
    if (depth > 200) fail("values nested too deep");
    skip_space();
    if (at_end()) fail("a value is missing");
    const char c = text_[pos_];
    Json out;
    if (c == '{') {
      out.kind_ = Json::Kind::Object;
      ++pos_;
      skip_space();
      if (peek('}')) return ++pos_, out;
      for (;;) {
        skip_space();
        if (!peek('"')) fail("a member name is missing");
        std::string key = string();
        skip_space();
        expect(':');
        out.members_.insert_or_assign(std::move(key), value(depth + 1));
        skip_space();
        if (peek(',')) {
          ++pos_;
          continue;
        }
        expect('}');
        return out;
      }
    }
    if (c == '[') {
      out.kind_ = Json::Kind::Array;
      ++pos_;
      skip_space();
      if (peek(']')) return ++pos_, out;
      for (;;) {
        out.items_.push_back(value(depth + 1));
        skip_space();
        if (peek(',')) {
          ++pos_;
          continue;
        }
        expect(']');
        return out;
      }
    }
    if (c == '"') {
      out.kind_ = Json::Kind::String;
      out.text_ = string();
      return out;
    }
    if (word("true") || word("false")) {
      out.kind_ = Json::Kind::Bool;
      out.bool_ = c == 't';
      return out;
    }
    if (word("null")) return out;
    out.kind_ = Json::Kind::Number;
    out.number_ = number();
    return out;
  }

  void skip_space() {
    while (!at_end() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
      ++pos_;
  }
  bool at_end() const { return pos_ >= text_.size(); }
  bool peek(char c) const { return !at_end() && text_[pos_] == c; }
  void expect(char c) {
    if (!peek(c)) fail(at_end() ? std::string("the text ends where '") + c + "' was expected"
                                : std::string("'") + c + "' expected");
    ++pos_;
  }
  [[noreturn]] void fail(const std::string& what) const { throw JsonError(what, pos_); }
  std::size_t pos() const { return pos_; }
  void set_pos(std::size_t p) { pos_ = p; }

 private:
  bool word(std::string_view w) {
    if (text_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }

  double number() {
    const std::size_t start = pos_;
    if (peek('-')) ++pos_;
    auto digits = [&] {
      const std::size_t from = pos_;
      while (!at_end() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      return pos_ > from;
    };
    if (!digits()) fail("a value is malformed");
    if (peek('.')) {
      ++pos_;
      if (!digits()) fail("a number is malformed");
    }
    if (peek('e') || peek('E')) {
      ++pos_;
      if (peek('+') || peek('-')) ++pos_;
      if (!digits()) fail("a number is malformed");
    }
    return std::strtod(std::string(text_.substr(start, pos_ - start)).c_str(), nullptr);
  }

  static void append_utf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xc0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xe0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    }
  }

  unsigned hex4() {
    if (pos_ + 4 > text_.size()) fail("a \\u escape is cut short");
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = text_[pos_++];
      code <<= 4;
      if (h >= '0' && h <= '9') code |= h - '0';
      else if (h >= 'a' && h <= 'f') code |= h - 'a' + 10;
      else if (h >= 'A' && h <= 'F') code |= h - 'A' + 10;
      else fail("a \\u escape is malformed");
    }
    return code;
  }

  std::string string() {
    expect('"');
    std::string out;
    for (;;) {
      if (at_end()) fail("a string is not closed");
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("a string holds a control character");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_end()) fail("a string is not closed");
      const char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned code = hex4();
          if (code >= 0xd800 && code < 0xdc00 && text_.substr(pos_, 2) == "\\u") {
            pos_ += 2;
            const unsigned low = hex4();
            code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
          }
          append_utf8(out, code);
          break;
        }
        default: fail("a string holds an unknown escape");
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

Json Json::parse(std::string_view text) {
  Parser p(text);
  Json out = p.value();
  p.skip_space();
  if (!p.at_end()) p.fail("text follows the value");
  return out;
}

std::vector<Json> Json::parse_array(std::string_view text, bool& complete) {
  Parser p(text);
  std::vector<Json> items;
  complete = false;
  p.skip_space();
  p.expect('[');
  p.skip_space();
  if (p.peek(']')) {
    p.set_pos(p.pos() + 1);
    complete = true;
  }
  while (!complete) {
    p.skip_space();
    if (p.at_end()) return items;  // cut short after a comma (or before the first element)
    try {
      items.push_back(p.value());
    } catch (const JsonError& e) {
      if (e.offset() >= text.size()) return items;  // cut short inside the last element
      throw;
    }
    p.skip_space();
    if (p.at_end()) return items;  // cut short after an element
    if (p.peek(',')) {
      p.set_pos(p.pos() + 1);
      continue;
    }
    p.expect(']');
    complete = true;
  }
  p.skip_space();
  if (!p.at_end()) p.fail("text follows the array");
  return items;
}

long long Json::integer(long long fallback) const {
  if (kind_ != Kind::Number || std::floor(number_) != number_ || std::fabs(number_) > 9.2e18) return fallback;
  return static_cast<long long>(number_);
}

const std::string& Json::str() const {
  static const std::string empty;
  return kind_ == Kind::String ? text_ : empty;
}

const Json& Json::operator[](std::string_view key) const {
  static const Json null;
  if (kind_ != Kind::Object) return null;
  const auto it = members_.find(key);
  return it == members_.end() ? null : it->second;
}

bool Json::has(std::string_view key) const { return kind_ == Kind::Object && members_.find(key) != members_.end(); }

}  // namespace gpu_report
