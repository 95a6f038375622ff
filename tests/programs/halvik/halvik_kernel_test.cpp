// The two diffusion kernels, launched through the runtime, against the plain
// host model: every output array bit for bit, and the border, NaN and clamping
// rules checked on their own.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Last: the kernel dialect's macros are meant for kernel code, not library headers.
#include "programs/halvik/halvik_kernel.cu"
#include "halvik_reference.h"

namespace {

class DeviceBuffer {
 public:
  explicit DeviceBuffer(size_t count) : bytes_(count * sizeof(float)) {
    if (cudaMalloc(reinterpret_cast<void**>(&p_), bytes_) != cudaSuccess) p_ = nullptr;
  }
  ~DeviceBuffer() { cudaFree(p_); }
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;

  float* get() const { return p_; }
  void upload(const std::vector<float>& v) const {
    ASSERT_EQ(cudaMemcpy(p_, v.data(), bytes_, cudaMemcpyHostToDevice), cudaSuccess);
  }
  std::vector<float> download() const {
    std::vector<float> v(bytes_ / sizeof(float));
    EXPECT_EQ(cudaMemcpy(v.data(), p_, bytes_, cudaMemcpyDeviceToHost), cudaSuccess);
    return v;
  }

 private:
  float* p_ = nullptr;
  size_t bytes_;
};

struct DeviceResult {
  std::vector<float> j;
  halvik_reference::Coefficients k;
};

// One iteration on the device: both kernels over the image, as the program launches them.
DeviceResult run_on_device(const std::vector<float>& image, int rows, int cols, float q0sqr,
                           float lambda) {
  const size_t n = image.size();
  DeviceBuffer J_cuda(n), C_cuda(n), E_C(n), W_C(n), S_C(n), N_C(n);
  EXPECT_TRUE(J_cuda.get() && C_cuda.get() && E_C.get() && W_C.get() && S_C.get() && N_C.get());
  J_cuda.upload(image);
  const dim3 grid(cols / 16, rows / 16, 1), block(16, 16, 1);
  EXPECT_EQ(launchKernel(halvik_cuda_1, grid, block, E_C.get(), W_C.get(), N_C.get(), S_C.get(),
                         J_cuda.get(), C_cuda.get(), cols, rows, q0sqr),
            cudaSuccess);
  EXPECT_EQ(launchKernel(halvik_cuda_2, grid, block, E_C.get(), W_C.get(), N_C.get(), S_C.get(),
                         J_cuda.get(), C_cuda.get(), cols, rows, lambda, q0sqr),
            cudaSuccess);
  DeviceResult r{
      J_cuda.download(),
      {C_cuda.download(), N_C.download(), S_C.download(), W_C.download(), E_C.download()}};
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  return r;
}

// Bitwise comparison; a mismatch names the first few pixels and both values.
::testing::AssertionResult same_bits(const char* what, const std::vector<float>& expected,
                                     const std::vector<float>& actual, int cols) {
  if (expected.size() != actual.size())
    return ::testing::AssertionFailure() << what << ": size differs";
  std::string report;
  size_t mismatches = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (std::bit_cast<uint32_t>(expected[i]) == std::bit_cast<uint32_t>(actual[i])) continue;
    if (++mismatches <= 5) {
      char line[160];
      std::snprintf(line, sizeof line, "\n  (%zu, %zu): expected %.9g [%08x], got %.9g [%08x]",
                    i / cols, i % cols, expected[i], std::bit_cast<uint32_t>(expected[i]),
                    actual[i], std::bit_cast<uint32_t>(actual[i]));
      report += line;
    }
  }
  if (mismatches == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << what << ": " << mismatches << " pixels differ" << report;
}

enum class Image { Random, Flat, Subnormal };

struct Case {
  const char* name;
  Image image;
  float q0sqr;
  float lambda;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

using Size = std::pair<int, int>;  // rows, cols
using Pixel = std::pair<int, int>;

// Pixels whose four neighbours (or the pixel itself, across the border) all
// hold its value: the only ones whose differences are all zero.
std::vector<Pixel> flat_centres(int rows, int cols) {
  std::vector<Pixel> centres{{0, 0}, {rows - 1, cols - 1}, {5, 7}};
  if (cols >= 32) centres.push_back({15, 16});  // neighbours in three tiles
  if (rows >= 32) centres.push_back({16, cols - 1});
  return centres;
}

std::vector<float> make_image(Image kind, int rows, int cols) {
  std::mt19937 gen(static_cast<unsigned>(rows * 1000 + cols));
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> image(static_cast<size_t>(rows) * cols);
  for (float& v : image) v = std::exp(unit(gen));
  if (kind == Image::Subnormal) {
    // Normal values whose differences fall below the smallest normal float.
    for (float& v : image) v = 1.2e-38f * (1.0f + 0.5f * (v - 1.0f) / 1.7182818f);
  }
  if (kind == Image::Flat) {
    for (auto [r, x] : flat_centres(rows, cols)) {
      for (auto [dr, dx] : {Pixel{0, 0}, {-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
        const int rr = r + dr, xx = x + dx;
        if (rr >= 0 && rr < rows && xx >= 0 && xx < cols)
          image[static_cast<size_t>(rr) * cols + xx] = 2.0f;
      }
    }
  }
  return image;
}

std::string size_name(const ::testing::TestParamInfo<Size>& info) {
  return std::to_string(info.param.first) + "x" + std::to_string(info.param.second);
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<Size, Case>>& info) {
  const Size size = std::get<0>(info.param);
  return std::to_string(size.first) + "x" + std::to_string(size.second) + "_" +
         std::get<1>(info.param).name;
}

class HalvikKernels : public ::testing::TestWithParam<std::tuple<Size, Case>> {};

TEST_P(HalvikKernels, MatchHostModelBitForBit) {
  const auto [size, c] = GetParam();
  const auto [rows, cols] = size;
  const std::vector<float> image = make_image(c.image, rows, cols);

  halvik_reference::Coefficients want = halvik_reference::coefficients(image, rows, cols, c.q0sqr);
  std::vector<float> want_j = image;
  halvik_reference::update(want_j, want, rows, cols, c.lambda);

  const DeviceResult got = run_on_device(image, rows, cols, c.q0sqr, c.lambda);
  EXPECT_TRUE(same_bits("C_cuda", want.c, got.k.c, cols));
  EXPECT_TRUE(same_bits("N_C", want.n, got.k.n, cols));
  EXPECT_TRUE(same_bits("S_C", want.s, got.k.s, cols));
  EXPECT_TRUE(same_bits("W_C", want.w, got.k.w, cols));
  EXPECT_TRUE(same_bits("E_C", want.e, got.k.e, cols));
  EXPECT_TRUE(same_bits("J_cuda", want_j, got.j, cols));
}

const Case kCases[] = {
    {"typical", Image::Random, 0.05f, 0.5f},
    {"clamped_above", Image::Random, 1.0f, 0.5f},
    {"clamped_below", Image::Random, -0.5f, 0.5f},
    {"lambda_zero", Image::Random, 0.05f, 0.0f},
    {"flat_q0sqr_zero", Image::Flat, 0.0f, 0.5f},
    {"subnormal_differences", Image::Subnormal, 0.05f, 0.5f},
};

INSTANTIATE_TEST_SUITE_P(Sizes, HalvikKernels,
                         ::testing::Combine(::testing::Values(Size{16, 16}, Size{16, 48},
                                                              Size{64, 32}, Size{256, 256}),
                                            ::testing::ValuesIn(kCases)),
                         case_name);

class HalvikKernelRules : public ::testing::TestWithParam<Size> {};

TEST_P(HalvikKernelRules, NoDifferenceAcrossTheBorder) {
  const auto [rows, cols] = GetParam();
  const DeviceResult got =
      run_on_device(make_image(Image::Random, rows, cols), rows, cols, 0.05f, 0.5f);
  auto at = [&](const std::vector<float>& a, int r, int x) {
    return a[static_cast<size_t>(r) * cols + x];
  };
  for (int x = 0; x < cols; ++x) {
    EXPECT_EQ(std::bit_cast<uint32_t>(at(got.k.n, 0, x)), 0u) << "north difference, column " << x;
    EXPECT_EQ(std::bit_cast<uint32_t>(at(got.k.s, rows - 1, x)), 0u)
        << "south difference, column " << x;
  }
  for (int r = 0; r < rows; ++r) {
    EXPECT_EQ(std::bit_cast<uint32_t>(at(got.k.w, r, 0)), 0u) << "west difference, row " << r;
    EXPECT_EQ(std::bit_cast<uint32_t>(at(got.k.e, r, cols - 1)), 0u)
        << "east difference, row " << r;
  }
}

TEST_P(HalvikKernelRules, FlatPixelWithZeroSpeckleSpreadsNaNUpAndLeft) {
  const auto [rows, cols] = GetParam();
  const DeviceResult got =
      run_on_device(make_image(Image::Flat, rows, cols), rows, cols, 0.0f, 0.5f);
  std::set<Pixel> nan_c, nan_j;
  for (auto [r, x] : flat_centres(rows, cols)) {
    nan_c.insert({r, x});
    nan_j.insert({r, x});
    if (r > 0) nan_j.insert({r - 1, x});
    if (x > 0) nan_j.insert({r, x - 1});
  }
  for (int r = 0; r < rows; ++r) {
    for (int x = 0; x < cols; ++x) {
      const size_t p = static_cast<size_t>(r) * cols + x;
      EXPECT_EQ(std::isnan(got.k.c[p]), nan_c.count({r, x}) == 1)
          << "coefficient at " << r << "," << x;
      EXPECT_EQ(std::isnan(got.j[p]), nan_j.count({r, x}) == 1) << "image at " << r << "," << x;
    }
  }
}

TEST_P(HalvikKernelRules, ClampingReachesBothEnds) {
  const auto [rows, cols] = GetParam();
  const std::vector<float> image = make_image(Image::Random, rows, cols);
  auto count = [](const std::vector<float>& c, auto pred) {
    size_t k = 0;
    for (float v : c) k += pred(v) ? 1 : 0;
    return k;
  };
  // A large q0sqr pushes smooth pixels' coefficients above 1; rough ones stay inside.
  const DeviceResult high = run_on_device(image, rows, cols, 1.0f, 0.5f);
  EXPECT_GT(count(high.k.c, [](float v) { return v == 1.0f; }), 0u);
  EXPECT_GT(count(high.k.c, [](float v) { return v > 0.0f && v < 1.0f; }), 0u);
  // A q0sqr in (-1, 0) makes every coefficient negative: all clamp to 0 and nothing moves.
  const DeviceResult low = run_on_device(image, rows, cols, -0.5f, 0.5f);
  EXPECT_EQ(count(low.k.c, [](float v) { return std::bit_cast<uint32_t>(v) == 0u; }), image.size());
  EXPECT_TRUE(same_bits("J_cuda", image, low.j, cols));
}

TEST_P(HalvikKernelRules, ZeroLambdaKeepsTheImage) {
  const auto [rows, cols] = GetParam();
  const std::vector<float> image = make_image(Image::Random, rows, cols);
  EXPECT_TRUE(same_bits("J_cuda", image, run_on_device(image, rows, cols, 0.05f, 0.0f).j, cols));
}

TEST_P(HalvikKernelRules, SubnormalDifferencesAreKept) {
  const auto [rows, cols] = GetParam();
  const DeviceResult got =
      run_on_device(make_image(Image::Subnormal, rows, cols), rows, cols, 0.05f, 0.5f);
  size_t subnormal = 0;
  for (float v : got.k.e) subnormal += std::fpclassify(v) == FP_SUBNORMAL ? 1 : 0;
  EXPECT_GT(subnormal, static_cast<size_t>(rows) * (cols - 1) / 2);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HalvikKernelRules,
                         ::testing::Values(Size{16, 16}, Size{16, 48}, Size{64, 32},
                                           Size{256, 256}),
                         size_name);

}  // namespace
