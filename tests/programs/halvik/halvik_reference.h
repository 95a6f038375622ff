// A plain host model of halvik: the image it fills, the speckle statistics and
// one diffusion iteration, pixel by pixel with no tiling, to check the program
// and its kernels against bit for bit.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace halvik_reference {

/// What the coefficient pass produces for every pixel of a rows x cols image.
struct Coefficients {
  std::vector<float> c, n, s, w, e;  ///< clamped coefficient; neighbour minus pixel
};

/// The coefficient pass over `image` (rows x cols, row-major). Across the
/// border a pixel is its own neighbour.
Coefficients coefficients(std::span<const float> image, int rows, int cols, float q0sqr);

/// The update pass: moves every pixel of `image` in place by lambda/4 times
/// its coefficient-weighted flux sum.
void update(std::span<float> image, const Coefficients& k, int rows, int cols, float lambda);

/// The program's starting image: srand(7) values over 2^31, exponentiated.
std::vector<float> starting_image(int rows, int cols);

/// q0sqr of the inclusive region rows y1..y2, columns x1..x2.
float speckle_q0sqr(std::span<const float> image, int cols, int y1, int y2, int x1, int x2);

/// The image a whole program run ends with.
std::vector<float> run(int rows, int cols, int y1, int y2, int x1, int x2, float lambda,
                       int iterations);

/// FNV-1a 64 of the bytes of `values`, as 16 lower-case hex digits.
std::string digest(std::span<const float> values);

}  // namespace halvik_reference
