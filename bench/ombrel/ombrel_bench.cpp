// Times `ombrel 10000` end to end on 10000 generated images and random
// weights, and the plain host implementation of the network on the same
// input in the same run; checks that both find the same digits.
//
//   ombrel_bench [runs]    (default 3; the best time of the runs is shown)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ombrel_data.h"
#include "ombrel_reference.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kImages = 10000;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Runs the program in `dir` with its standard output to `out`; returns its exit status.
int run_program(const fs::path& dir, const fs::path& out) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0 || !freopen(out.c_str(), "w", stdout)) _exit(127);
    const std::string count = std::to_string(kImages);
    execl(OMBREL_PROGRAM, OMBREL_PROGRAM, count.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {}
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/// The digits of the program's result line: the last line of its output.
std::vector<int> result_digits(const fs::path& out) {
  std::ifstream in(out);
  std::string line, last;
  while (std::getline(in, line)) last = line;
  std::istringstream words(last);
  std::vector<int> digits;
  for (int d; words >> d;) digits.push_back(d);
  return digits;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  char pattern[] = "/tmp/ombrel_bench_XXXXXX";
  if (!mkdtemp(pattern)) {
    std::perror("ombrel_bench: cannot make a working directory");
    return 1;
  }
  const fs::path dir = pattern;
  const auto images = ombrel_data::random_images(kImages, 1);
  auto weights = ombrel_data::random_weights(2);
  ombrel_data::center_last_layer(weights, ombrel_data::slots(std::span(images).first(500)));
  ombrel_data::write_inputs(dir, images, weights);

  double program_ms = 1e300;
  for (int r = 0; r < runs; ++r) {
    const auto start = Clock::now();
    const int status = run_program(dir, dir / "stdout.txt");
    program_ms = std::min(program_ms, ms_since(start));
    if (status != 0) {
      std::fprintf(stderr, "ombrel_bench: ombrel exited with status %d\n", status);
      fs::remove_all(dir);
      return 1;
    }
  }
  const auto program_digits = result_digits(dir / "stdout.txt");

  double reference_ms = 1e300;
  std::vector<float> scores;
  for (int r = 0; r < runs; ++r) {
    const auto start = Clock::now();
    scores = ombrel_reference::scores(ombrel_data::slots(images), weights);
    reference_ms = std::min(reference_ms, ms_since(start));
  }
  int agree = 0;
  for (int i = 0; i < kImages && i < static_cast<int>(program_digits.size()); ++i)
    agree += program_digits[i] == ombrel_reference::winning_digit(std::span(scores).subspan(10 * i, 10));

  std::printf("ombrel %d, end to end (process, files, four launches): %.1f ms (best of %d)\n", kImages, program_ms, runs);
  std::printf("host reference, four layers over the same %d images, one thread: %.1f ms (best of %d)\n", kImages,
              reference_ms, runs);
  std::printf("digits agreeing: %d of %d\n", agree, kImages);
  fs::remove_all(dir);
  return agree == kImages ? 0 : 1;
}
