#include "halvik_reference.h"

#include "common/trace.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace halvik_reference {

namespace {

struct Grid {
  int rows, cols;
  size_t at(int r, int x) const {
    r = std::clamp(r, 0, rows - 1);
    x = std::clamp(x, 0, cols - 1);
    return static_cast<size_t>(r) * cols + x;
  }
};

float coefficient(float dn, float ds, float dw, float de, float jc, float q0sqr) {
  const float l = (((dn + ds) + dw) + de) / jc;
  const float q = static_cast<float>(std::fma(static_cast<double>(l), 0.25, 1.0));
  float squares = ds * ds;
  squares = std::fmaf(dn, dn, squares);
  squares = std::fmaf(dw, dw, squares);
  squares = std::fmaf(de, de, squares);
  const float g = squares / (jc * jc);
  const float ll = l * l;
  const double half_g = 0.5 * static_cast<double>(g);
  const double sixteenth_ll = 0.0625 * static_cast<double>(ll);
  const float p = static_cast<float>(half_g - sixteenth_ll);
  const float q2 = p / (q * q);
  const float d = (q2 - q0sqr) / (q0sqr * (q0sqr + 1.0f));
  const double sum = 1.0 + static_cast<double>(d);
  const float c = static_cast<float>(1.0 / sum);
  if (c < 0.0f) return 0.0f;
  if (c > 1.0f) return 1.0f;
  return c;
}

}  // namespace

Coefficients coefficients(std::span<const float> image, int rows, int cols, float q0sqr) {
  const Grid g{rows, cols};
  const size_t n = static_cast<size_t>(rows) * cols;
  Coefficients k{std::vector<float>(n), std::vector<float>(n), std::vector<float>(n),
                 std::vector<float>(n), std::vector<float>(n)};
  for (int r = 0; r < rows; ++r) {
    for (int x = 0; x < cols; ++x) {
      const size_t p = g.at(r, x);
      const float jc = image[p];
      k.n[p] = image[g.at(r - 1, x)] - jc;
      k.s[p] = image[g.at(r + 1, x)] - jc;
      k.w[p] = image[g.at(r, x - 1)] - jc;
      k.e[p] = image[g.at(r, x + 1)] - jc;
      k.c[p] = coefficient(k.n[p], k.s[p], k.w[p], k.e[p], jc, q0sqr);
    }
  }
  return k;
}

void update(std::span<float> image, const Coefficients& k, int rows, int cols, float lambda) {
  const Grid g{rows, cols};
  const double step = static_cast<double>(lambda) * 0.25;
  for (int r = 0; r < rows; ++r) {
    for (int x = 0; x < cols; ++x) {
      const size_t p = g.at(r, x);
      const float own = k.c[p];
      const float below = k.c[g.at(r + 1, x)];
      const float right = k.c[g.at(r, x + 1)];
      float flux = below * k.s[p];
      flux = std::fmaf(k.n[p], own, flux);
      flux = std::fmaf(k.w[p], own, flux);
      flux = std::fmaf(k.e[p], right, flux);
      image[p] = static_cast<float>(
          std::fma(static_cast<double>(flux), step, static_cast<double>(image[p])));
    }
  }
}

std::vector<float> starting_image(int rows, int cols) {
  std::vector<float> image(static_cast<size_t>(rows) * cols);
  std::srand(7);
  for (float& v : image) v = static_cast<float>(std::rand()) / 2147483648.0f;
  for (float& v : image) v = std::exp(v);
  return image;
}

float speckle_q0sqr(std::span<const float> image, int cols, int y1, int y2, int x1, int x2) {
  float sum = 0, squares = 0;
  for (int i = y1; i <= y2; ++i) {
    for (int j = x1; j <= x2; ++j) {
      const float v = image[static_cast<size_t>(i) * cols + j];
      sum = sum + v;
      const float vv = v * v;
      squares = vv + squares;
    }
  }
  const float size = static_cast<float>((y2 - y1 + 1) * (x2 - x1 + 1));
  const float mean = sum / size;
  const float mean2 = mean * mean;
  const float variance = squares / size - mean2;
  return variance / mean2;
}

std::vector<float> run(int rows, int cols, int y1, int y2, int x1, int x2, float lambda,
                       int iterations) {
  std::vector<float> image = starting_image(rows, cols);
  for (int i = 0; i < iterations; ++i) {
    const float q0sqr = speckle_q0sqr(image, cols, y1, y2, x1, x2);
    update(image, coefficients(image, rows, cols, q0sqr), rows, cols, lambda);
  }
  return image;
}

std::string digest(std::span<const float> values) {
  return gpu_runtime::common::fnv1a_hex(values.data(), values.size_bytes());
}

}  // namespace halvik_reference
