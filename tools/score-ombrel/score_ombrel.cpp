// score-ombrel: reads what ombrel printed (its result line of winning
// digits), compares it with the labels file and prints the accuracy on the
// held-out digits, on the training digits, and the held-out confusion matrix.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "digits/idx.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: score-ombrel [--labels FILE] [--held-out N] [OUTPUT]\n"
    "  Scores ombrel's result line, read from the file OUTPUT (ombrel's standard output)\n"
    "  or from standard input, against the labels: the first N images are the held-out\n"
    "  digits, the rest training digits.\n"
    "  --labels FILE   default data/t10k-labels-idx1-ubyte\n"
    "  --held-out N    default 2000\n";

int fail(const std::string& message) {
  std::fprintf(stderr, "score-ombrel: %s\n", message.c_str());
  return 1;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Finds the result line: the line after the last "NUM=" line, which must
// hold NUM digits; or, in text without a "NUM=" line, its only line.
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

void print_accuracy(const char* name, std::size_t correct, std::size_t total) {
  if (total == 0) {
    std::printf("%s: no images scored\n", name);
    return;
  }
  std::printf("%s: %zu of %zu correct, %.2f%%\n", name, correct, total, 100.0 * static_cast<double>(correct) / static_cast<double>(total));
}

}  // namespace

int main(int argc, char** argv) {
  fs::path labels_path = "data/t10k-labels-idx1-ubyte";
  std::size_t held_out = 2000;
  std::string input_path;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--labels" && i + 1 < argc) {
      labels_path = argv[++i];
    } else if (arg == "--held-out" && i + 1 < argc) {
      const std::string_view value = argv[++i];
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), held_out);
      if (ec != std::errc() || end != value.data() + value.size())
        return fail("bad value '" + std::string(value) + "' for --held-out");
    } else if (!arg.starts_with("-") && input_path.empty()) {
      input_path = arg;
    } else {
      std::fprintf(stderr, "score-ombrel: unknown argument or missing value: '%s'\n%s", argv[i], kUsage);
      return 1;
    }
  }

  std::string text;
  if (input_path.empty()) {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(input_path, std::ios::binary);
    if (!in) return fail("cannot open " + input_path);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string error;
  std::vector<int> predicted;
  if (!result_digits(text, predicted, error)) return fail(error);
  std::vector<std::uint8_t> labels;
  if (!digits::read_idx_labels(labels_path, labels, error)) return fail(error);
  if (predicted.size() > labels.size())
    return fail(std::to_string(predicted.size()) + " results but " + labels_path.string() + " holds only " +
                std::to_string(labels.size()) + " labels");
  for (std::size_t i = 0; i < predicted.size(); ++i)
    if (labels[i] > 9) return fail(labels_path.string() + ": label " + std::to_string(i) + " is not a digit");

  std::array<std::array<std::size_t, 10>, 10> confusion{};
  std::size_t held_out_correct = 0, training_correct = 0;
  const std::size_t held_out_scored = std::min(held_out, predicted.size());
  for (std::size_t i = 0; i < predicted.size(); ++i) {
    const bool correct = predicted[i] == labels[i];
    if (i < held_out_scored) {
      held_out_correct += correct;
      ++confusion[labels[i]][static_cast<std::size_t>(predicted[i])];
    } else {
      training_correct += correct;
    }
  }
  print_accuracy("held-out", held_out_correct, held_out_scored);
  print_accuracy("training", training_correct, predicted.size() - held_out_scored);
  std::printf("confusion matrix of the held-out digits (rows: true digit, columns: ombrel's digit):\n");
  std::printf("     ");
  for (int d = 0; d < 10; ++d) std::printf("%6d", d);
  std::printf("\n");
  for (int t = 0; t < 10; ++t) {
    std::printf("%5d", t);
    for (int d = 0; d < 10; ++d) std::printf("%6zu", confusion[t][d]);
    std::printf("\n");
  }
  return 0;
}
