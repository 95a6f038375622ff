// halvik_baseline: halvik's main loop as plain loops on one thread: per
// iteration the speckle statistics, the coefficient pass and the update pass
// of the host model (programs/halvik/reference), which has the program's
// arithmetic (same operations, order and precision).
//
//   halvik_baseline <rows> <cols> <y1> <y2> <x1> <x2> <lambda> <iterations>
//
// Fills the starting image as the program does (untimed), then times the
// iterations. The five work arrays are allocated untouched beforehand, as the
// program's device buffers are. Prints time_ms and the digest of the final
// image.
#include <cstdlib>
#include <memory>

#include "baseline_common.h"
#include "halvik_reference.h"  // defines: the passes, speckle_q0sqr, starting_image

namespace {

constexpr const char* kName = "halvik_baseline";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 9)
    bench::fail(kName, "usage: halvik_baseline <rows> <cols> <y1> <y2> <x1> <x2> <lambda> <iterations>");
  const int rows = static_cast<int>(bench::parse_int(kName, argv[1], "rows", 1, 1 << 15));
  const int cols = static_cast<int>(bench::parse_int(kName, argv[2], "cols", 1, 1 << 15));
  const int y1 = static_cast<int>(bench::parse_int(kName, argv[3], "y1", 0, rows - 1));
  const int y2 = static_cast<int>(bench::parse_int(kName, argv[4], "y2", y1, rows - 1));
  const int x1 = static_cast<int>(bench::parse_int(kName, argv[5], "x1", 0, cols - 1));
  const int x2 = static_cast<int>(bench::parse_int(kName, argv[6], "x2", x1, cols - 1));
  char* end = nullptr;
  const float lambda = static_cast<float>(std::strtod(argv[7], &end));
  if (end == argv[7] || *end != '\0')
    bench::fail(kName, std::string("lambda must be a number, not '") + argv[7] + "'");
  const int iterations = static_cast<int>(bench::parse_int(kName, argv[8], "iterations", 0, 1000000));

  const size_t n = static_cast<size_t>(rows) * cols;
  std::vector<float> J = halvik_reference::starting_image(rows, cols);

  auto c = std::make_unique_for_overwrite<float[]>(n);
  auto dn = std::make_unique_for_overwrite<float[]>(n);
  auto ds = std::make_unique_for_overwrite<float[]>(n);
  auto dw = std::make_unique_for_overwrite<float[]>(n);
  auto de = std::make_unique_for_overwrite<float[]>(n);

  const auto start = bench::Clock::now();
  for (int iter = 0; iter < iterations; iter++) {
    const float q0sqr = halvik_reference::speckle_q0sqr(J, cols, y1, y2, x1, x2);
    halvik_reference::coefficients(J.data(), rows, cols, q0sqr, c.get(), dn.get(), ds.get(), dw.get(), de.get());
    halvik_reference::update(J.data(), rows, cols, lambda, c.get(), dn.get(), ds.get(), dw.get(), de.get());
  }
  bench::clobber(J.data());
  const double ms = bench::ms_between(start, bench::Clock::now());

  bench::report("time_ms", ms);
  bench::report("digest", bench::digest_of(J));
  return 0;
}
