// halvik_baseline: halvik's main loop as plain loops on one thread: per
// iteration the speckle statistics, the coefficient pass and the update pass,
// with the program's arithmetic (same operations, order and precision).
//
//   halvik_baseline <rows> <cols> <y1> <y2> <x1> <x2> <lambda> <iterations>
//
// Fills the starting image as the program does (untimed), then times the
// iterations. The five work arrays are allocated untouched beforehand, as the
// program's device buffers are. Prints time_ms and the digest of the final
// image.
#include <cmath>
#include <cstdlib>
#include <memory>

#include "baseline_common.h"

namespace {

constexpr const char* kName = "halvik_baseline";

// Squared coefficient of variation of the inclusive region, in single
// precision with no fused operations.
float speckle_q0sqr(const float* image, int cols, int y1, int y2, int x1, int x2) {
  float sum = 0, sum2 = 0;
  for (int i = y1; i <= y2; i++) {
    for (int j = x1; j <= x2; j++) {
      const float v = image[i * cols + j];
      sum = sum + v;
      sum2 = v * v + sum2;
    }
  }
  const float size = static_cast<float>((y2 - y1 + 1) * (x2 - x1 + 1));
  const float mean = sum / size;
  const float variance = (sum2 / size) - mean * mean;
  return variance / (mean * mean);
}

struct Work {
  float* c;  // (rows, cols) clamped diffusion coefficient
  float* n;  // (rows, cols) north neighbour minus pixel
  float* s;  // (rows, cols) south
  float* w;  // (rows, cols) west
  float* e;  // (rows, cols) east
};

// Differences and clamped coefficient of every pixel; across the border a
// pixel is its own neighbour.
void coefficients(const float* J, const Work& k, int rows, int cols, float q0sqr) {
  for (int r = 0; r < rows; r++) {
    const float* up = J + static_cast<size_t>(r > 0 ? r - 1 : 0) * cols;
    const float* row = J + static_cast<size_t>(r) * cols;
    const float* down = J + static_cast<size_t>(r < rows - 1 ? r + 1 : r) * cols;
    for (int x = 0; x < cols; x++) {
      const size_t p = static_cast<size_t>(r) * cols + x;
      const float jc = row[x];
      const float dn = up[x] - jc;
      const float ds = down[x] - jc;
      const float dw = row[x > 0 ? x - 1 : 0] - jc;
      const float de = row[x < cols - 1 ? x + 1 : x] - jc;
      const float l = (((dn + ds) + dw) + de) / jc;
      const float q = static_cast<float>(std::fma(static_cast<double>(l), 0.25, 1.0));
      float squares = ds * ds;
      squares = std::fmaf(dn, dn, squares);
      squares = std::fmaf(dw, dw, squares);
      squares = std::fmaf(de, de, squares);
      const float g2 = squares / (jc * jc);
      const float l2 = l * l;
      const float num = static_cast<float>(0.5 * static_cast<double>(g2) - 0.0625 * static_cast<double>(l2));
      const float qsqr = num / (q * q);
      const float d = (qsqr - q0sqr) / (q0sqr * (q0sqr + 1.0f));
      float c = static_cast<float>(1.0 / (1.0 + static_cast<double>(d)));
      if (c < 0.0f)
        c = 0.0f;
      else if (c > 1.0f)
        c = 1.0f;
      k.c[p] = c;
      k.n[p] = dn;
      k.s[p] = ds;
      k.w[p] = dw;
      k.e[p] = de;
    }
  }
}

// Moves every pixel in place by lambda/4 times its flux sum; the south and
// east fluxes take the coefficient of the pixel below and to the right.
void update(float* J, const Work& k, int rows, int cols, float lambda) {
  const double step = static_cast<double>(lambda) * 0.25;
  for (int r = 0; r < rows; r++) {
    const float* c_down = k.c + static_cast<size_t>(r < rows - 1 ? r + 1 : r) * cols;
    for (int x = 0; x < cols; x++) {
      const size_t p = static_cast<size_t>(r) * cols + x;
      const float cc = k.c[p];
      const float cs = c_down[x];
      const float ce = k.c[p - x + (x < cols - 1 ? x + 1 : x)];
      float flux = cs * k.s[p];
      flux = std::fmaf(k.n[p], cc, flux);
      flux = std::fmaf(k.w[p], cc, flux);
      flux = std::fmaf(k.e[p], ce, flux);
      J[p] = static_cast<float>(std::fma(static_cast<double>(flux), step, static_cast<double>(J[p])));
    }
  }
}

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
  std::vector<float> J(n);
  std::srand(7);
  for (float& v : J) v = static_cast<float>(std::rand()) / 2147483648.0f;
  for (float& v : J) v = std::exp(v);

  auto c = std::make_unique_for_overwrite<float[]>(n);
  auto dn = std::make_unique_for_overwrite<float[]>(n);
  auto ds = std::make_unique_for_overwrite<float[]>(n);
  auto dw = std::make_unique_for_overwrite<float[]>(n);
  auto de = std::make_unique_for_overwrite<float[]>(n);
  const Work k{c.get(), dn.get(), ds.get(), dw.get(), de.get()};

  const auto start = bench::Clock::now();
  for (int iter = 0; iter < iterations; iter++) {
    const float q0sqr = speckle_q0sqr(J.data(), cols, y1, y2, x1, x2);
    coefficients(J.data(), k, rows, cols, q0sqr);
    update(J.data(), k, rows, cols, lambda);
  }
  bench::clobber(J.data());
  const double ms = bench::ms_between(start, bench::Clock::now());

  bench::report("time_ms", ms);
  bench::report("digest", bench::digest_of(J));
  return 0;
}
