#include "score_input.h"

#include <charconv>
#include <sstream>
#include <string_view>

namespace score_ombrel {

const char* const kUsage =
    "usage: score-ombrel [--labels FILE] [--held-out N] [OUTPUT]\n"
    "  Scores ombrel's result line, read from the file OUTPUT (ombrel's standard output)\n"
    "  or from standard input, against the labels: the first N images are the held-out\n"
    "  digits, the rest training digits.\n"
    "  --labels FILE   default data/t10k-labels-idx1-ubyte\n"
    "  --held-out N    default 2000\n";

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, Options& options, std::string& error, bool& usage) {
  usage = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      return true;
    }
    if (arg == "--labels" && i + 1 < argc) {
      options.labels = argv[++i];
    } else if (arg == "--held-out" && i + 1 < argc) {
      const std::string_view value = argv[++i];
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), options.held_out);
      if (ec != std::errc() || end != value.data() + value.size()) {
        error = "bad value '" + std::string(value) + "' for --held-out";
        return false;
      }
    } else if (!arg.starts_with("-") && options.input.empty()) {
      options.input = arg;
    } else {
      error = "unknown argument or missing value: '" + std::string(arg) + "'";
      usage = true;
      return false;
    }
  }
  return true;
}

bool result_digits(const std::string& text, std::vector<int>& digits, std::string& error) {
  const std::vector<std::string> lines = lines_of(text);
  long long expected = -1;
  std::string line;
  std::size_t num_line = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].starts_with("NUM=")) num_line = i;
  if (num_line < lines.size()) {
    const std::string_view count = std::string_view(lines[num_line]).substr(4);
    const auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), expected);
    if (ec != std::errc() || end != count.data() + count.size() || expected <= 0) {
      error = "malformed line '" + lines[num_line] + "'";
      return false;
    }
    if (num_line + 1 >= lines.size()) {
      error = "no result line after '" + lines[num_line] + "'";
      return false;
    }
    line = lines[num_line + 1];
  } else {
    std::vector<std::string> non_empty;
    for (const std::string& l : lines)
      if (!l.empty()) non_empty.push_back(l);
    if (non_empty.size() != 1) {
      error = "no result line found: expected ombrel's output (a \"NUM=\" line and the line of digits after it) or the line of digits alone";
      return false;
    }
    line = non_empty[0];
  }

  // Digits at the even positions, single spaces at the odd ones, no
  // trailing space: exactly what ombrel prints.
  digits.clear();
  if (line.empty()) {
    error = "the result line is empty";
    return false;
  }
  auto malformed = [&](std::size_t character) {
    error = "the result line is not single digits separated by single spaces (at character " +
            std::to_string(character) + ")";
    return false;
  };
  for (std::size_t at = 0; at < line.size(); ++at) {
    if (at % 2 == 0 ? line[at] < '0' || line[at] > '9' : line[at] != ' ') return malformed(at + 1);
    if (at % 2 == 0) digits.push_back(line[at] - '0');
  }
  if (line.size() % 2 == 0) return malformed(line.size());
  if (expected >= 0 && static_cast<long long>(digits.size()) != expected) {
    error = "the result line holds " + std::to_string(digits.size()) + " digits but ombrel reported NUM=" +
            std::to_string(expected);
    return false;
  }
  return true;
}

}  // namespace score_ombrel
