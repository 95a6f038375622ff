// A plain host model of halvik: the image it fills, the speckle statistics and
// one diffusion iteration, pixel by pixel with no tiling, with the program's
// arithmetic (same operations, order and precision). The tests check the
// program and its kernels against it bit for bit; the benchmark's baseline
// times it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace halvik_reference {

/// The coefficient pass over `image` (rows x cols, row-major), into five
/// arrays of rows x cols floats as the first kernel writes them: the clamped
/// coefficient `c` and the neighbour minus the pixel to the north, south, west
/// and east. Across the border a pixel is its own neighbour.
void coefficients(const float* image, int rows, int cols, float q0sqr, float* c, float* n, float* s, float* w,
                  float* e);

/// The update pass: moves every pixel of `image` in place by lambda/4 times
/// its coefficient-weighted flux sum; the south and east fluxes take the
/// coefficient of the pixel below and to the right.
void update(float* image, int rows, int cols, float lambda, const float* c, const float* n, const float* s,
            const float* w, const float* e);

/// What the coefficient pass produces for every pixel of a rows x cols image.
struct Coefficients {
  std::vector<float> c, n, s, w, e;  ///< clamped coefficient; neighbour minus pixel
};

/// The coefficient pass into fresh arrays.
Coefficients coefficients(std::span<const float> image, int rows, int cols, float q0sqr);

/// The update pass with the arrays of `k`.
void update(std::span<float> image, const Coefficients& k, int rows, int cols, float lambda);

/// The program's starting image: srand(7) values over 2^31, exponentiated.
std::vector<float> starting_image(int rows, int cols);

/// q0sqr of the inclusive region rows y1..y2, columns x1..x2, in single
/// precision with no fused operations.
float speckle_q0sqr(std::span<const float> image, int cols, int y1, int y2, int x1, int x2);

/// The image a whole program run ends with.
std::vector<float> run(int rows, int cols, int y1, int y2, int x1, int x2, float lambda,
                       int iterations);

/// FNV-1a 64 of the bytes of `values`, as 16 lower-case hex digits.
std::string digest(std::span<const float> values);

}  // namespace halvik_reference
