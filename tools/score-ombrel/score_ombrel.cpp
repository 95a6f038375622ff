// score-ombrel: reads what ombrel printed (its result line of winning
// digits), compares it with the labels file and prints the accuracy on the
// held-out digits, on the training digits, and the held-out confusion matrix.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "digits/idx.h"
#include "gpu_runtime/file_io.h"
#include "score_input.h"

namespace {

namespace fs = std::filesystem;

int fail(const std::string& message) {
  std::fprintf(stderr, "score-ombrel: %s\n", message.c_str());
  return 1;
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
  score_ombrel::Options options;
  std::string error;
  bool usage = false;
  if (!score_ombrel::parse_command_line(argc, argv, options, error, usage)) {
    std::fprintf(stderr, "score-ombrel: %s\n%s", error.c_str(), usage ? score_ombrel::kUsage : "");
    return 1;
  }
  if (options.help) {
    std::fputs(score_ombrel::kUsage, stdout);
    return 0;
  }
  const fs::path labels_path = options.labels;
  const std::size_t held_out = options.held_out;

  std::string text;
  if (options.input.empty()) {
    if (const int failed = gpu_runtime::read_whole_stream(stdin, text))
      return fail(std::string("cannot read standard input: ") + std::strerror(failed));
  } else if (!gpu_runtime::read_whole_file(options.input, text, error)) {
    return fail(error);
  }

  std::vector<int> predicted;
  if (!score_ombrel::result_digits(text, predicted, error)) return fail(error);
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
