#include "halvik_reference.h"

#include <cmath>
#include <cstdlib>

#include "common/trace.h"

namespace halvik_reference {

void coefficients(const float* image, int rows, int cols, float q0sqr, float* c, float* n, float* s, float* w,
                  float* e) {
  for (int r = 0; r < rows; r++) {
    const float* up = image + static_cast<size_t>(r > 0 ? r - 1 : 0) * cols;
    const float* row = image + static_cast<size_t>(r) * cols;
    const float* down = image + static_cast<size_t>(r < rows - 1 ? r + 1 : r) * cols;
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
      float coefficient = static_cast<float>(1.0 / (1.0 + static_cast<double>(d)));
      if (coefficient < 0.0f)
        coefficient = 0.0f;
      else if (coefficient > 1.0f)
        coefficient = 1.0f;
      c[p] = coefficient;
      n[p] = dn;
      s[p] = ds;
      w[p] = dw;
      e[p] = de;
    }
  }
}

void update(float* image, int rows, int cols, float lambda, const float* c, const float* n, const float* s,
            const float* w, const float* e) {
  const double step = static_cast<double>(lambda) * 0.25;
  for (int r = 0; r < rows; r++) {
    const float* c_down = c + static_cast<size_t>(r < rows - 1 ? r + 1 : r) * cols;
    for (int x = 0; x < cols; x++) {
      const size_t p = static_cast<size_t>(r) * cols + x;
      const float cc = c[p];
      const float cs = c_down[x];
      const float ce = c[p - x + (x < cols - 1 ? x + 1 : x)];
      float flux = cs * s[p];
      flux = std::fmaf(n[p], cc, flux);
      flux = std::fmaf(w[p], cc, flux);
      flux = std::fmaf(e[p], ce, flux);
      image[p] = static_cast<float>(std::fma(static_cast<double>(flux), step, static_cast<double>(image[p])));
    }
  }
}

Coefficients coefficients(std::span<const float> image, int rows, int cols, float q0sqr) {
  const size_t n = static_cast<size_t>(rows) * cols;
  Coefficients k{std::vector<float>(n), std::vector<float>(n), std::vector<float>(n),
                 std::vector<float>(n), std::vector<float>(n)};
  coefficients(image.data(), rows, cols, q0sqr, k.c.data(), k.n.data(), k.s.data(), k.w.data(), k.e.data());
  return k;
}

void update(std::span<float> image, const Coefficients& k, int rows, int cols, float lambda) {
  update(image.data(), rows, cols, lambda, k.c.data(), k.n.data(), k.s.data(), k.w.data(), k.e.data());
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
  Coefficients k;
  for (int i = 0; i < iterations; ++i) {
    const float q0sqr = speckle_q0sqr(image, cols, y1, y2, x1, x2);
    k = coefficients(image, rows, cols, q0sqr);
    update(image, k, rows, cols, lambda);
  }
  return image;
}

std::string digest(std::span<const float> values) {
  return gpu_runtime::common::fnv1a_hex(values.data(), values.size_bytes());
}

}  // namespace halvik_reference
