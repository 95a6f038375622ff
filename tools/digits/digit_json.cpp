// Parser for the package's {"data": [v, v, ...]} digit files.
#include "digits/digit_json.h"

#include <charconv>
#include <cmath>
#include <sstream>

#include "digits/idx.h"
#include "gpu_runtime/file_io.h"

namespace digits {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool parse(std::vector<std::uint8_t>& pixels, std::string& error) {
    pixels.clear();
    if (!expect('{', error) || !expect_key("data", error) || !expect(':', error) || !expect('[', error))
      return false;
    skip_space();
    if (peek() != ']') {
      for (;;) {
        if (!number(pixels, error)) return false;
        skip_space();
        if (peek() == ',') {
          ++at_;
          continue;
        }
        break;
      }
    }
    if (!expect(']', error) || !expect('}', error)) return false;
    skip_space();
    if (at_ != text_.size()) return fail("unexpected text after the object", error);
    if (pixels.size() % kImagePixels != 0)
      return fail(std::to_string(pixels.size()) + " values are not whole images of 784", error);
    return true;
  }

 private:
  void skip_space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
      ++at_;
  }
  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }

  bool fail(const std::string& what, std::string& error) const {
    error = "at byte " + std::to_string(at_) + ": " + what;
    return false;
  }

  bool expect(char c, std::string& error) {
    skip_space();
    if (peek() != c) return fail(std::string("expected '") + c + "'", error);
    ++at_;
    return true;
  }

  bool expect_key(std::string_view key, std::string& error) {
    skip_space();
    const std::string quoted = "\"" + std::string(key) + "\"";
    if (text_.substr(at_, quoted.size()) != quoted) return fail("expected the key " + quoted, error);
    at_ += quoted.size();
    return true;
  }

  bool number(std::vector<std::uint8_t>& pixels, std::string& error) {
    skip_space();
    double value = 0;
    const char* begin = text_.data() + at_;
    const auto [end, ec] = std::from_chars(begin, text_.data() + text_.size(), value);
    if (ec != std::errc() || end == begin) return fail("expected a number", error);
    const double scaled = 255.0 * value;
    const double byte = std::round(scaled);
    if (!(value >= 0.0 && value <= 1.0) || std::fabs(scaled - byte) > 0.2) {
      std::ostringstream what;
      what << "value " << std::string_view(begin, end - begin) << " (image "
           << pixels.size() / kImagePixels << ", pixel " << pixels.size() % kImagePixels
           << ") is not a byte/255 value";
      return fail(what.str(), error);
    }
    pixels.push_back(static_cast<std::uint8_t>(byte));
    at_ += static_cast<std::size_t>(end - begin);
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

bool parse_digit_json(std::string_view text, std::vector<std::uint8_t>& pixels, std::string& error) {
  return Parser(text).parse(pixels, error);
}

bool read_digit_json(const std::filesystem::path& path, std::vector<std::uint8_t>& pixels,
                     std::string& error) {
  std::string text;
  if (!gpu_runtime::read_whole_file(path.string(), text, error)) return false;
  if (!parse_digit_json(text, pixels, error)) {
    error = path.string() + ": " + error;
    return false;
  }
  return true;
}

}  // namespace digits
